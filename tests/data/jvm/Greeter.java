// Made by its plain constructor from the global class path; each instance
// knows how many were made before it.
public class Greeter {
    private static int made;
    private final int number;

    public Greeter() {
        number = ++made;
    }

    @Override
    public String toString() {
        return "Greeter " + number;
    }
}
