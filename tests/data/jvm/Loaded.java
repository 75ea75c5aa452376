// Lies only on a class record's own class path, so that only a loader made
// from that path finds it.
public class Loaded {
    private static int made;
    private final int number;

    public Loaded() {
        number = ++made;
    }

    @Override
    public String toString() {
        return "Loaded " + number + " by " + getClass().getClassLoader().getClass().getName();
    }
}
