// Embedded JVM: opens the virtual machine's library named by jvm-location,
// creates the machine at start-up, and hands threads their environments and
// Java classes their instances.
//
// Start-up runs on the init thread, before any thread that could call in; the
// option variables and class records are only read after it. The global JVM
// mutex serialises attach and detach; each class record's own mutex
// serialises the making of its objects. Neither is held while taking the other.
#include "vantrix_private.h"

#include <dlfcn.h>
#include <jni.h>
#include <pthread.h>
#include <signal.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

// One add-javaclass record. C layout: the option registry fills the records
// by field offset, copying the template for each new one.
typedef struct _javaclass {
    pthread_mutex_t class_mutex;
    char *class_name;
    char *class_id;
    int classpath_num;
    char **classpath;
    char javaobject_init;
    jobject javaobject; // a global reference: threads other than its maker use it
} javaclass_t;

namespace {

constexpr jint kJniVersion = JNI_VERSION_1_2;
constexpr int kExitCode = 9;
constexpr int kLevelCrit = 2;
constexpr int kLevelError = 3;
constexpr int kLevelInfo = 6;
constexpr int kToStderr = 0x100;
constexpr size_t kMessageBytes = 32768;
constexpr size_t kPathBytes = 4097;
constexpr const char *kDefaultLoader = "com/tarvel/util/classloader/FileURLAsStringClassLoader";
constexpr const char *kDefaultLoaderMethod = "loadAndInstantiateClass";
constexpr const char *kLoaderConstructor = "([Ljava/lang/String;)V";
constexpr const char *kLoaderMethodSignature = "(Ljava/lang/String;)Ljava/lang/Object;";
// JVM_PATH gives the older layout; JDK 9 and later keep the library in lib/server.
constexpr const char *kOlderLayout = "lib/amd64/server";
constexpr const char *kNewerLayout = "lib/server";
// The machine installs its own handlers for these (shutdown hooks, exit code
// 128 + signal); the runtime's are put back so that they still exit with 0.
constexpr int kRuntimeSignals[] = {SIGTERM, SIGINT, SIGHUP};

using CreateJavaVM = decltype(&JNI_CreateJavaVM);

// Option variables.
char *c_jvm_location = nullptr;
char **c_global_classpath = nullptr;
int c_global_classpath_num = 0;
char **c_jvm_options = nullptr;
int c_jvm_options_num = 0;
javaclass_t *javaclasses = nullptr;
int javaclass_num = 0;
const javaclass_t javaclass_template = {};

vn_init_t *init_record = nullptr;
vn_log_t *java_log = nullptr;
void *jvm_library = nullptr;
JavaVM *jvm = nullptr;
JNIEnv *first_env = nullptr; // the init thread's, attached by the creation
std::mutex jvm_mutex;

const char *text_or_empty(const char *text)
{
    return text != nullptr ? text : "";
}

__attribute__((format(printf, 2, 3))) void java_message(int level, const char *format, ...)
{
    char text[kMessageBytes];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    vn_log(java_log, level, "%s", text);
}

// Start-up failures end the process at once, without the record's exit hook.
// The standard-error copy is written here when the Java log could not be
// made, since the log would otherwise have written it.
[[noreturn]] __attribute__((format(printf, 1, 2))) void exit_with_message(const char *format, ...)
{
    char text[kMessageBytes];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (java_log != nullptr) {
        vn_log(java_log, kLevelCrit | kToStderr, "%s", text);
    } else {
        const char *name = init_record != nullptr ? init_record->application_name : nullptr;
        std::fprintf(stderr, "%s: %s", name != nullptr ? name : vn_get_app_name(), text);
        std::fflush(stderr);
    }
    std::exit(kExitCode);
}

// Inside a group an option's variable is the byte offset of its field in the record.
void *field_offset(size_t offset)
{
    return reinterpret_cast<void *>(offset);
}

std::string application_root()
{
    return text_or_empty(init_record != nullptr ? init_record->application_root : nullptr);
}

// A class-path entry with a leading "%r" standing for the application root.
std::string with_root(const char *entry)
{
    if (std::strncmp(entry, "%r", 2) == 0)
        return application_root() + (entry + 2);
    return entry;
}

std::string class_path_text()
{
    if (c_global_classpath_num <= 0)
        return ".:" + application_root() + "/lib/java";
    std::string text;
    for (int i = 0; i < c_global_classpath_num; i++) {
        if (i > 0)
            text += ':';
        text += with_root(c_global_classpath[i]);
    }
    return text;
}

void *open_at(const std::string &path)
{
    java_message(kLevelInfo, "Opening JVM at %s\n", path.c_str());
    return dlopen(path.c_str(), RTLD_LAZY);
}

// Opens the library at `path`, else at the same path in the newer layout;
// `path` becomes the one opened. Exits when neither opens.
void *open_library(std::string &path)
{
    void *handle = open_at(path);
    if (handle != nullptr)
        return handle;
    std::string error = text_or_empty(dlerror());
    size_t at = path.find(kOlderLayout);
    if (at != std::string::npos && (at == 0 || path[at - 1] == '/')) {
        std::string newer = path;
        newer.replace(at, std::strlen(kOlderLayout), kNewerLayout);
        handle = open_at(newer);
        if (handle != nullptr) {
            path = newer;
            return handle;
        }
    }
    exit_with_message("Couldn't open JVM at %s - %s - exiting\n", path.c_str(), error.c_str());
}

void create_machine(CreateJavaVM create, std::vector<std::string> &texts)
{
    std::vector<JavaVMOption> options;
    for (std::string &text : texts)
        options.push_back({text.data(), nullptr});
    JavaVMInitArgs args;
    args.version = kJniVersion;
    args.nOptions = static_cast<jint>(options.size());
    args.options = options.data();
    args.ignoreUnrecognized = JNI_FALSE;
    struct sigaction saved[std::size(kRuntimeSignals)];
    for (size_t i = 0; i < std::size(kRuntimeSignals); i++)
        sigaction(kRuntimeSignals[i], nullptr, &saved[i]);
    jint result = create(&jvm, reinterpret_cast<void **>(&first_env), &args);
    for (size_t i = 0; i < std::size(kRuntimeSignals); i++)
        sigaction(kRuntimeSignals[i], &saved[i], nullptr);
    if (result < 0) {
        jvm = nullptr;
        exit_with_message("Could not create a JVM\n");
    }
}

javaclass_t *find_record(const char *class_id)
{
    if (class_id == nullptr)
        return nullptr;
    for (int i = 0; i < javaclass_num; i++) {
        if (javaclasses[i].class_id != nullptr && std::strcmp(javaclasses[i].class_id, class_id) == 0)
            return &javaclasses[i];
    }
    return nullptr;
}

class RecordLock {
public:
    explicit RecordLock(javaclass_t *record) : mutex_(&record->class_mutex) { pthread_mutex_lock(mutex_); }
    ~RecordLock() { pthread_mutex_unlock(mutex_); }
    RecordLock(const RecordLock &) = delete;
    RecordLock &operator=(const RecordLock &) = delete;

private:
    pthread_mutex_t *mutex_;
};

// The machine prints the pending exception, which also clears it: JNI calls
// made with one pending are undefined.
void describe_exception(JNIEnv *env)
{
    if (env->ExceptionCheck()) {
        env->ExceptionDescribe();
        env->ExceptionClear();
    }
}

void make_plain_instance(JNIEnv *env, javaclass_t *record, const char *classname)
{
    jclass found = env->FindClass(classname);
    if (found == nullptr) {
        java_message(kLevelError, "Couldn't find class %s for %s\n", text_or_empty(classname), record->class_id);
        describe_exception(env);
        return;
    }
    jmethodID constructor = env->GetMethodID(found, "<init>", "()V");
    if (constructor == nullptr) {
        java_message(kLevelError, "Couldn't locate the constructor for %s\n", classname);
        describe_exception(env);
        env->DeleteLocalRef(found);
        return;
    }
    jobject made = env->NewObject(found, constructor);
    if (env->ExceptionCheck())
        describe_exception(env);
    else
        java_message(kLevelInfo, "Successfully created class %s (%s)\n", classname, classname);
    if (made != nullptr) {
        record->javaobject = env->NewGlobalRef(made);
        record->javaobject_init = record->javaobject != nullptr;
        env->DeleteLocalRef(made);
    }
    env->DeleteLocalRef(found);
}

// The record's class path as a Java string array, or null.
jobjectArray class_path_array(JNIEnv *env, const javaclass_t *record)
{
    jclass string_class = env->FindClass("java/lang/String");
    if (string_class == nullptr) {
        java_message(kLevelError, "Cannot find class java/lang/String whilst creating %s\n", record->class_id);
        describe_exception(env);
        return nullptr;
    }
    jsize count = record->classpath_num > 0 ? record->classpath_num : 0;
    jobjectArray array = env->NewObjectArray(count, string_class, nullptr);
    env->DeleteLocalRef(string_class);
    for (jsize i = 0; array != nullptr && i < count; i++) {
        jstring entry = env->NewStringUTF(with_root(record->classpath[i]).c_str());
        env->SetObjectArrayElement(array, i, entry);
        // A thread that stays in native code keeps its local references until
        // it detaches: drop each as soon as it is stored.
        env->DeleteLocalRef(entry);
    }
    describe_exception(env);
    return array;
}

// A loader made from the record's class path, or null.
jobject make_loader(JNIEnv *env, const javaclass_t *record, jclass loader_class, const char *loader)
{
    jmethodID constructor = env->GetMethodID(loader_class, "<init>", kLoaderConstructor);
    if (constructor == nullptr) {
        java_message(kLevelError, "Couldn't locate the constructor for %s\n", loader);
        describe_exception(env);
        return nullptr;
    }
    jobjectArray paths = class_path_array(env, record);
    if (paths == nullptr)
        return nullptr;
    jobject made = env->NewObject(loader_class, constructor, paths);
    env->DeleteLocalRef(paths);
    if (env->ExceptionCheck()) {
        java_message(kLevelError, "Couldn't construct for %s\n", loader);
        describe_exception(env);
        if (made != nullptr)
            env->DeleteLocalRef(made);
        return nullptr;
    }
    return made;
}

jobject call_loader(JNIEnv *env, const javaclass_t *record, jclass loader_class, jobject made, const char *loader,
                    const char *run)
{
    jmethodID method = env->GetMethodID(loader_class, run, kLoaderMethodSignature);
    if (method == nullptr) {
        java_message(kLevelError, "Couldn't locate the loader %s within %s\n", run, loader);
        describe_exception(env);
        return nullptr;
    }
    jstring name = record->class_name != nullptr ? env->NewStringUTF(record->class_name) : nullptr;
    jobject result = env->CallObjectMethod(made, method, name);
    if (name != nullptr)
        env->DeleteLocalRef(name);
    if (env->ExceptionCheck()) {
        describe_exception(env);
        return result;
    }
    java_message(kLevelInfo, "Successfully created class %s (%s)\n", record->class_id,
                 text_or_empty(record->class_name));
    return result;
}

jobject instance_through_loader(JNIEnv *env, const javaclass_t *record, const char *loader, const char *run)
{
    jclass loader_class = env->FindClass(loader);
    if (loader_class == nullptr) {
        java_message(kLevelError, "Couldn't find class %s whilst creating %s\n", loader, record->class_id);
        if (env->ExceptionCheck()) {
            std::printf("Exception found: ");
            std::fflush(stdout);
            describe_exception(env);
        }
        return nullptr;
    }
    jobject result = nullptr;
    jobject made = make_loader(env, record, loader_class, loader);
    if (made != nullptr) {
        result = call_loader(env, record, loader_class, made, loader, run);
        env->DeleteLocalRef(made);
    }
    env->DeleteLocalRef(loader_class);
    return result;
}

} // namespace

extern "C" {

void _vn_jvm_config_init(void)
{
    vn_config_add_option(0, "jvm-location", "!JVM|!Location to load JVM from", VN_CONFIG_STRING, &c_jvm_location);
    vn_config_add_array_option("jvm-global-classpath", "!JVM|!Global classpath location", VN_CONFIG_STRING,
                               &c_global_classpath, &c_global_classpath_num);
    vn_config_add_array_option("jvm-options", "!JVM|!Options for the JVM", VN_CONFIG_STRING, &c_jvm_options,
                               &c_jvm_options_num);
    vn_config_add_group("add-javaclass", "!JVM|!Add a Java class definition", &javaclasses, &javaclass_template,
                        sizeof(javaclass_t), &javaclass_num);
    vn_config_add_option(0, "class-name", "Name of the class", VN_CONFIG_STRING,
                         field_offset(offsetof(javaclass_t, class_name)));
    vn_config_add_option(0, "class-id", "Id of the class", VN_CONFIG_STRING,
                         field_offset(offsetof(javaclass_t, class_id)));
    vn_config_add_array_option("classpath", "Class paths", VN_CONFIG_STRING,
                               field_offset(offsetof(javaclass_t, classpath)),
                               static_cast<int *>(field_offset(offsetof(javaclass_t, classpath_num))));
    vn_config_end_group("end-javaclass", "End a Java class definition");
}

void _vn_jvm_init(vn_init_t *init)
{
    init_record = init;
    if (c_jvm_location == nullptr)
        return;
    java_log = vn_new_level_log("java_log", "java.log", nullptr);
    char expanded[kPathBytes];
    vn_filename_expand(c_jvm_location, expanded, sizeof expanded);
    std::string path = expanded;
    jvm_library = open_library(path);
    vn_free(c_jvm_location);
    c_jvm_location = vn_strdup(path.c_str());
    auto create = reinterpret_cast<CreateJavaVM>(dlsym(jvm_library, "JNI_CreateJavaVM"));
    if (create == nullptr)
        exit_with_message("Could not locate symbol JNI_CreateJavaVM within %s - exiting\n", path.c_str());
    std::string class_path = class_path_text();
    std::vector<std::string> options{"-Djava.class.path=.:" + class_path};
    for (int i = 0; i < c_jvm_options_num; i++)
        options.emplace_back(c_jvm_options[i]);
    java_message(kLevelInfo, "Setting classpath to %s\n", class_path.c_str());
    create_machine(create, options);
    for (int i = 0; i < javaclass_num; i++)
        pthread_mutex_init(&javaclasses[i].class_mutex, nullptr);
    java_message(kLevelInfo, "JVM from %s is now running\n", path.c_str());
}

JavaVM *vn_jvm_return_jvmhandle(void)
{
    return jvm;
}

JNIEnv *vn_jvm_attach_thread(const char *class_id)
{
    if (c_jvm_location == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(jvm_mutex);
    if (jvm == nullptr) {
        vn_log(vn_get_event_log(), kLevelError, "JVM is not loaded - couldn't attach thread\n");
        return nullptr;
    }
    JavaVMAttachArgs args{kJniVersion, nullptr, nullptr};
    JNIEnv *env = nullptr;
    if (jvm->AttachCurrentThread(reinterpret_cast<void **>(&env), &args) != JNI_OK) {
        java_message(kLevelError, "Couldn't attach to thread for class id %s\n", text_or_empty(class_id));
        return nullptr;
    }
    return env;
}

int vn_jvm_detach_thread(const char *class_id)
{
    if (c_jvm_location == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(jvm_mutex);
    if (jvm == nullptr || jvm->DetachCurrentThread() != JNI_OK) {
        java_message(kLevelError, "Couldn't detach from thread for class id %s\n", text_or_empty(class_id));
        return -1;
    }
    return 0;
}

jobject vn_jvm_load_class(JNIEnv *env, const char *class_id, const char *classname)
{
    if (jvm == nullptr || env == nullptr)
        return nullptr;
    if (class_id == nullptr) {
        java_message(kLevelError, "No class-id defined\n");
        return nullptr;
    }
    javaclass_t *record = find_record(class_id);
    if (record == nullptr)
        return nullptr;
    RecordLock lock(record);
    if (!record->javaobject_init)
        make_plain_instance(env, record, classname);
    return record->javaobject;
}

jobject vn_jvm_return_object_withloader(const char *class_id, JNIEnv *env, const char *loader, const char *run)
{
    if (jvm == nullptr || env == nullptr || loader == nullptr || run == nullptr)
        return nullptr;
    javaclass_t *record = find_record(class_id);
    if (record == nullptr)
        return nullptr;
    RecordLock lock(record);
    return instance_through_loader(env, record, loader, run);
}

jobject vn_jvm_return_object(const char *class_id, JNIEnv *env)
{
    return vn_jvm_return_object_withloader(class_id, env, kDefaultLoader, kDefaultLoaderMethod);
}

} // extern "C"
