// Its constructor throws, so no instance can be made.
public class Failing {
    public Failing() {
        throw new IllegalStateException("refused");
    }
}
