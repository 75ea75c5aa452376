/*
 * An adapter hosting a JVM, run by the tests. It starts the runtime from
 * "jvm.conf" in its working directory (and its command line), then runs the
 * scenario named by its first argument and prints what it sees as
 * "name=value" lines:
 *
 *   inert    the calls without jvm-location
 *   start    the class path the machine was created with
 *   plain    plain instances made on the init thread
 *   loader   instances made through class loaders
 *   threads  plain and loader instances from threads that attach and detach
 *   wait     prints "ready" and runs the loop until a signal ends it
 */
#include <jni.h>
#include <vantrix_extra.h>

#include <pthread.h>
#include <stdio.h>
#include <string.h>

enum { kThreads = 4 };

static const char *kLoader = "com/tarvel/util/classloader/FileURLAsStringClassLoader";

/* The JVM's start-up failures must never come through here. */
static void exit_hook(int32_t code, const char *text)
{
    printf("exit_func=%d %s", code, text);
    fflush(stdout);
}

/* The object's toString(), or "null". */
static void describe(JNIEnv *env, jobject object, char *buffer, size_t size)
{
    if (object == NULL) {
        snprintf(buffer, size, "null");
        return;
    }
    jclass object_class = (*env)->FindClass(env, "java/lang/Object");
    jmethodID to_string = (*env)->GetMethodID(env, object_class, "toString", "()Ljava/lang/String;");
    jstring text = (jstring)(*env)->CallObjectMethod(env, object, to_string);
    const char *chars = (*env)->GetStringUTFChars(env, text, NULL);
    snprintf(buffer, size, "%s", chars);
    (*env)->ReleaseStringUTFChars(env, text, chars);
    (*env)->DeleteLocalRef(env, text);
    (*env)->DeleteLocalRef(env, object_class);
}

static void print_object(JNIEnv *env, const char *name, jobject object)
{
    char text[512];
    describe(env, object, text, sizeof text);
    printf("%s=%s\n", name, text);
}

static void inert(void)
{
    printf("handle=%s\n", vn_jvm_return_jvmhandle() == NULL ? "null" : "set");
    printf("attach=%s\n", vn_jvm_attach_thread("any") == NULL ? "null" : "set");
    printf("detach=%d\n", vn_jvm_detach_thread("any"));
}

static void start(void)
{
    JavaVM *vm = vn_jvm_return_jvmhandle();
    JNIEnv *env = vn_jvm_attach_thread("main");
    printf("handle=%s\n", vm == NULL ? "null" : "set");
    if (env == NULL)
        return;
    jclass system = (*env)->FindClass(env, "java/lang/System");
    jmethodID get_property =
        (*env)->GetStaticMethodID(env, system, "getProperty", "(Ljava/lang/String;)Ljava/lang/String;");
    jstring key = (*env)->NewStringUTF(env, "java.class.path");
    jstring value = (jstring)(*env)->CallStaticObjectMethod(env, system, get_property, key);
    const char *chars = (*env)->GetStringUTFChars(env, value, NULL);
    printf("classpath=%s\n", chars);
    (*env)->ReleaseStringUTFChars(env, value, chars);
}

static void plain(void)
{
    JNIEnv *env = vn_jvm_attach_thread("main");
    /* The argument names the class, whatever the record's class-name says. */
    jobject first = vn_jvm_load_class(env, "greeter", "Greeter");
    print_object(env, "first", first);
    /* Made once: a later call looks nothing up, so its class name is not used. */
    jobject again = vn_jvm_load_class(env, "greeter", "NoSuchClass");
    printf("again_same=%d\n", again == first);
    print_object(env, "missing", vn_jvm_load_class(env, "other", "NoSuchClass"));
    print_object(env, "failing", vn_jvm_load_class(env, "failing", "Failing"));
    print_object(env, "unknown_id", vn_jvm_load_class(env, "nobody", "Greeter"));
    print_object(env, "no_id", vn_jvm_load_class(env, NULL, "Greeter"));
}

static void loader(void)
{
    JNIEnv *env = vn_jvm_attach_thread("main");
    jobject first = vn_jvm_return_object("loaded", env);
    print_object(env, "first", first);
    jobject second = vn_jvm_return_object("loaded", env);
    print_object(env, "second", second);
    printf("second_same=%d\n", (*env)->IsSameObject(env, first, second));
    print_object(env, "absent", vn_jvm_return_object("absent", env));
    print_object(env, "unknown_id", vn_jvm_return_object("nobody", env));
    print_object(env, "no_loader", vn_jvm_return_object_withloader("loaded", env, "no/such/Loader", "load"));
    print_object(env, "no_constructor", vn_jvm_return_object_withloader("loaded", env, "java/lang/Object", "load"));
    print_object(env, "no_method", vn_jvm_return_object_withloader("loaded", env, kLoader, "noSuchMethod"));
}

struct thread_result {
    jobject plain;
    char loaded[512];
    int attached;
    int detached;
};

static struct thread_result results[kThreads];

static void *attach_and_make(void *data)
{
    struct thread_result *result = data;
    JNIEnv *env = vn_jvm_attach_thread("worker");
    result->attached = env != NULL;
    if (env == NULL)
        return NULL;
    result->plain = vn_jvm_load_class(env, "greeter", "Greeter");
    jobject made = vn_jvm_return_object("loaded", env);
    describe(env, made, result->loaded, sizeof result->loaded);
    if (made != NULL)
        (*env)->DeleteLocalRef(env, made);
    result->detached = vn_jvm_detach_thread("worker");
    return NULL;
}

/* The threads race to make the plain instance: they must all get the one. */
static void threads(void)
{
    pthread_t ids[kThreads];
    for (int i = 0; i < kThreads; i++)
        pthread_create(&ids[i], NULL, attach_and_make, &results[i]);
    for (int i = 0; i < kThreads; i++)
        pthread_join(ids[i], NULL);
    JNIEnv *env = vn_jvm_attach_thread("main");
    for (int i = 0; i < kThreads; i++) {
        printf("thread=attached %d, same %d, loaded %s, detached %d\n", results[i].attached,
               results[i].plain != NULL && results[i].plain == results[0].plain, results[i].loaded,
               results[i].detached);
    }
    print_object(env, "plain", results[0].plain);
}

int main(int argc, char **argv)
{
    static vn_init_t init;
    init.exit_func = exit_hook;
    const char *scenario = argc > 1 ? argv[1] : "";

    vn_config_init("jvm.conf", argc, argv);
    if (vn_init(&init, argc, argv) < 0)
        return 1;
    if (strcmp(scenario, "inert") == 0)
        inert();
    else if (strcmp(scenario, "start") == 0)
        start();
    else if (strcmp(scenario, "plain") == 0)
        plain();
    else if (strcmp(scenario, "loader") == 0)
        loader();
    else if (strcmp(scenario, "threads") == 0)
        threads();
    else if (strcmp(scenario, "wait") == 0) {
        printf("ready\n");
        fflush(stdout);
        vn_loop();
    } else {
        fprintf(stderr, "unknown scenario: %s\n", scenario);
        return 2;
    }
    return 0;
}
