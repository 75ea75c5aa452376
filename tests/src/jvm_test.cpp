// The embedded JVM run for real: each case starts the jvm_host adapter, which
// creates a machine from the installed JDK (one per process) and loads small
// Java classes compiled here with that JDK's javac.
#include "test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

const std::string kJavaSources = std::string(VANTRIX_TEST_DATA) + "/jvm";
const std::string kLibJvm = std::string(VANTRIX_JDK_HOME) + "/lib/server/libjvm.so";
// Small and single-threaded collection: several of these machines run at once.
const std::string kSmallMachine = "jvm-options -Xmx64m -XX:+UseSerialGC -XX:TieredStopAtLevel=1\n";

std::string with_option(const char *variable, const std::string &option)
{
    const char *given = std::getenv(variable);
    return std::string(given != nullptr ? given : "") + ":" + option;
}

// The host's environment. Under AddressSanitizer the leak check at exit walks
// the machine's own threads and memory, which it cannot read, and crashes;
// under ThreadSanitizer what happens inside the uninstrumented machine is not
// reported. Every access the library and the host make is still checked.
std::map<std::string, std::string> host_environment()
{
    return {{"TZ", "UTC"},
            {"ASAN_OPTIONS", with_option("ASAN_OPTIONS", "detect_leaks=0")},
            {"TSAN_OPTIONS", with_option("TSAN_OPTIONS", "suppressions=" + kJavaSources + "/libjvm.tsan.supp")}};
}

class JvmTest : public ::testing::Test {
protected:
    // Greeter, Failing and the stand-in loader lie on the global class path
    // (classes/); Loaded only on the class records' own (loaded/).
    void compile_classes()
    {
        vntest::RunResult compiled =
            vntest::run({JAVAC_BIN, "-d", root_.file("classes"), kJavaSources + "/Greeter.java",
                         kJavaSources + "/Failing.java", kJavaSources + "/Loaded.java",
                         kJavaSources + "/com/tarvel/util/classloader/FileURLAsStringClassLoader.java"});
        ASSERT_EQ(compiled.exit_code, 0) << compiled.err;
        std::filesystem::create_directories(root_.file("loaded"));
        std::filesystem::rename(root_.file("classes/Loaded.class"), root_.file("loaded/Loaded.class"));
    }

    // The configuration every case starts from, with `extra` lines added.
    void configure(const std::string &extra)
    {
        root_.write("jvm.conf", "application-name jvmhost\n"
                                "application-root " + root_.path() + "\n" + extra);
    }

    std::string machine_with_classes() const
    {
        return "jvm-location " + kLibJvm + "\n" + kSmallMachine +
               "jvm-global-classpath %r/classes\n"
               "add-javaclass\nclass-id greeter\nclass-name NotTheClassLookedUp\nend-javaclass\n"
               "add-javaclass\nclass-id other\nclass-name Greeter\nend-javaclass\n"
               "add-javaclass\nclass-id failing\nclass-name Failing\nend-javaclass\n"
               "add-javaclass\nclass-id loaded\nclass-name Loaded\nclasspath %r/loaded\nend-javaclass\n"
               "add-javaclass\nclass-id absent\nclass-name Absent\nclasspath %r/loaded\nend-javaclass\n";
    }

    vntest::RunResult host(const std::string &scenario)
    {
        return vntest::run({JVM_HOST_BIN, scenario}, root_.path(), host_environment());
    }

    std::string java_log() const { return root_.read("var/java.log"); }

    vntest::TempRoot root_;
};

TEST_F(JvmTest, WithoutALocationEveryCallReturnsAtOnce)
{
    configure("");
    vntest::RunResult run = host("inert");
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "handle=null\nattach=null\ndetach=0\n");
    EXPECT_FALSE(root_.exists("var/java.log"));
    EXPECT_EQ(root_.read("var/event-jvmhost.log").find("JVM is not loaded"), std::string::npos);
}

TEST_F(JvmTest, MachineGetsTheClassPathOfTheConfiguration)
{
    struct Case {
        std::string lines;
        std::string class_path; // after "-Djava.class.path=.:"
    };
    // Longer than any fixed buffer would keep: nothing is cut.
    std::string long_lines, long_path;
    for (int line = 0; line < 4; line++) {
        long_lines += "jvm-global-classpath";
        for (int entry = 0; entry < 8; entry++) {
            std::string name = "/opt/" + std::to_string(line * 8 + entry) + "/" + std::string(90, 'j');
            long_lines += " " + name;
            long_path += (long_path.empty() ? "" : ":") + name;
        }
        long_lines += "\n";
    }
    const Case cases[] = {
        {"", ".:" + root_.path() + "/lib/java"},
        {"jvm-global-classpath %r/classes /opt/shared/java\n", root_.path() + "/classes:/opt/shared/java"},
        {long_lines, long_path},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lines);
        std::filesystem::remove(root_.file("var/java.log"));
        configure("jvm-location " + kLibJvm + "\n" + kSmallMachine + c.lines);
        vntest::RunResult run = host("start");
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(run.out, "handle=set\nclasspath=.:" + c.class_path + "\n");
        std::string log = java_log();
        EXPECT_NE(log.find("INFO: Opening JVM at " + kLibJvm + "\n"), std::string::npos) << log;
        EXPECT_NE(log.find("INFO: Setting classpath to " + c.class_path + "\n"), std::string::npos) << log;
        EXPECT_NE(log.find("INFO: JVM from " + kLibJvm + " is now running\n"), std::string::npos) << log;
    }
}

TEST_F(JvmTest, OlderLibraryLayoutIsFoundInTheNewerOne)
{
    std::string older = std::string(VANTRIX_JDK_HOME) + "/lib/amd64/server/libjvm.so";
    ASSERT_FALSE(std::filesystem::exists(older));
    configure("jvm-location " + older + "\n" + kSmallMachine);
    vntest::RunResult run = host("start");
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("handle=set\n"), std::string::npos);
    EXPECT_NE(java_log().find("INFO: JVM from " + kLibJvm + " is now running\n"), std::string::npos) << java_log();
}

TEST_F(JvmTest, PlainInstanceIsMadeOnceFromTheClassNameGiven)
{
    compile_classes();
    configure(machine_with_classes());
    vntest::RunResult run = host("plain");
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "first=Greeter 1\n"
                       "again_same=1\n"
                       "missing=null\n"
                       "failing=null\n"
                       "unknown_id=null\n"
                       "no_id=null\n");
    std::string log = java_log();
    EXPECT_NE(log.find("INFO: Successfully created class Greeter (Greeter)\n"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR: Couldn't find class NoSuchClass for other\n"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR: No class-id defined\n"), std::string::npos) << log;
    // The second call for greeter looked nothing up.
    EXPECT_EQ(log.find("Couldn't find class NoSuchClass for greeter"), std::string::npos) << log;
    EXPECT_EQ(log.find("Successfully created class Failing"), std::string::npos) << log;
    // Pending exceptions are described by the machine on standard error.
    EXPECT_NE(run.err.find("NoClassDefFoundError: NoSuchClass"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("IllegalStateException: refused"), std::string::npos) << run.err;
}

TEST_F(JvmTest, LoaderMakesANewInstanceFromTheRecordsClassPathEachTime)
{
    compile_classes();
    configure(machine_with_classes());
    vntest::RunResult run = host("loader");
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const std::string by = " by com.tarvel.util.classloader.FileURLAsStringClassLoader\n";
    EXPECT_EQ(run.out, "first=Loaded 1" + by + "second=Loaded 1" + by +
                           "second_same=0\n"
                           "absent=null\n"
                           "unknown_id=null\n"
                           // The missing loader's exception is announced on standard output.
                           "Exception found: no_loader=null\n"
                           "no_constructor=null\n"
                           "no_method=null\n");
    std::string log = java_log();
    EXPECT_NE(log.find("INFO: Successfully created class loaded (Loaded)\n"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR: Couldn't find class no/such/Loader whilst creating loaded\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("ERROR: Couldn't locate the constructor for java/lang/Object\n"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR: Couldn't locate the loader noSuchMethod within "
                       "com/tarvel/util/classloader/FileURLAsStringClassLoader\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Successfully created class absent"), std::string::npos) << log;
    EXPECT_NE(run.err.find("ClassNotFoundException: Absent"), std::string::npos) << run.err;
}

TEST_F(JvmTest, ThreadsAttachShareThePlainInstanceAndDetach)
{
    compile_classes();
    configure(machine_with_classes());
    vntest::RunResult run = host("threads");
    ASSERT_EQ(run.exit_code, 0) << run.err;
    std::string thread_line =
        "thread=attached 1, same 1, loaded Loaded 1 by com.tarvel.util.classloader.FileURLAsStringClassLoader, "
        "detached 0\n";
    std::string expected;
    for (int i = 0; i < 4; i++)
        expected += thread_line;
    EXPECT_EQ(run.out, expected + "plain=Greeter 1\n");
    EXPECT_EQ(java_log().find("ERROR"), std::string::npos) << java_log();
}

// Runs the host until it says it is ready, then signals it.
int exit_code_after_signal(const std::string &cwd, int signal_number)
{
    int out_pipe[2];
    if (pipe(out_pipe) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        close(out_pipe[0]);
        close(out_pipe[1]);
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        for (const auto &[name, value] : host_environment())
            setenv(name.c_str(), value.c_str(), 1);
        execl(JVM_HOST_BIN, JVM_HOST_BIN, "wait", nullptr);
        _exit(127);
    }
    close(out_pipe[1]);
    std::string out;
    char buffer[256];
    ssize_t got;
    while (out.find("ready\n") == std::string::npos &&
           ((got = read(out_pipe[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR))) {
        if (got > 0)
            out.append(buffer, static_cast<size_t>(got));
    }
    close(out_pipe[0]);
    kill(pid, signal_number);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(JvmTest, SignalAfterTheMachineStartedEndsTheProcessWithCodeZero)
{
    configure("jvm-location " + kLibJvm + "\n" + kSmallMachine);
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal_number));
        EXPECT_EQ(exit_code_after_signal(root_.path(), signal_number), 0);
    }
}

TEST_F(JvmTest, StartupFailuresExitWithCodeNineWithoutTheExitHook)
{
    struct Case {
        std::string lines;
        std::string message;
    };
    const Case cases[] = {
        {"jvm-location %r/missing/libjvm.so\n", "Couldn't open JVM at " + root_.path() + "/missing/libjvm.so - "},
        {"jvm-location libc.so.6\n", "Could not locate symbol JNI_CreateJavaVM within libc.so.6 - exiting\n"},
        {"jvm-location " + kLibJvm + "\njvm-options -Xno-such-option\n", "Could not create a JVM\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lines);
        std::filesystem::remove(root_.file("var/java.log"));
        configure(c.lines);
        vntest::RunResult run = host("start");
        EXPECT_EQ(run.exit_code, 9);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("jvmhost: " + c.message), std::string::npos) << run.err;
        EXPECT_NE(java_log().find("CRIT: " + c.message), std::string::npos) << java_log();
    }
}

TEST_F(JvmTest, FailureWithoutAJavaLogStillReachesStandardError)
{
    std::filesystem::create_directories(root_.file("var/java.log"));
    configure("jvm-location %r/missing/libjvm.so\n");
    vntest::RunResult run = host("start");
    EXPECT_EQ(run.exit_code, 9);
    EXPECT_NE(run.err.find("jvmhost: Couldn't open JVM at " + root_.path() + "/missing/libjvm.so - "),
              std::string::npos)
        << run.err;
}

} // namespace
