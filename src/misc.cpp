// String, hash and file helpers shared by many modules: the system's string
// hash, word splitting, counted and decimal-place copies, formatted
// allocation and writing, and the creation-time marker beside each log file.
#include "vantrix_private.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kFirstFormatBytes = 4096;
constexpr size_t kFilePrintfBytes = 1024;
constexpr size_t kMarkerPathBytes = 4097;
// Zero padding of a decimal copy comes from a fixed run of zeros.
constexpr int kMaxPadZeros = 20;

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// A numeric text: a digit or sign first, then digits and at most one point.
bool is_numeric(std::string_view text)
{
    if (text.empty())
        return true;
    char first = text.front();
    if (!is_digit(first) && first != '-' && first != '+')
        return false;
    bool seen_point = false;
    for (char c : text.substr(1)) {
        if (c == '.' && !seen_point)
            seen_point = true;
        else if (!is_digit(c))
            return false;
    }
    return true;
}

// Adds one to the last digit of `number`, carrying leftwards over nines and
// the point; a carry out of the first digit puts a 1 behind any sign.
void round_up(std::string &number)
{
    for (size_t i = number.size(); i-- > 0;) {
        char &c = number[i];
        if (c == '.')
            continue;
        if (c == '-')
            break;
        if (c != '9') {
            c++;
            return;
        }
        c = '0';
    }
    size_t first_digit = (!number.empty() && number.front() == '-') ? 1 : 0;
    number.insert(first_digit, 1, '1');
}

void pad_zeros(std::string &number, int zeros)
{
    number.append(static_cast<size_t>(zeros < kMaxPadZeros ? zeros : kMaxPadZeros), '0');
}

std::string with_places(std::string_view number, int places)
{
    size_t point = number.find('.');
    if (point == std::string_view::npos) {
        std::string result(number);
        if (places > 0) {
            result += '.';
            pad_zeros(result, places);
        }
        return result;
    }
    size_t decimals = number.size() - point - 1;
    if (decimals <= static_cast<size_t>(places)) {
        std::string result(number);
        pad_zeros(result, places - static_cast<int>(decimals));
        return result;
    }
    size_t keep = places == 0 ? point : point + 1 + static_cast<size_t>(places);
    std::string result(number.substr(0, keep));
    if (number[point + 1 + static_cast<size_t>(places)] >= '5')
        round_up(result);
    return result;
}

// Formats into `buffer`; returns the length formatting reports.
int format_into(char *buffer, size_t size, const char *format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(buffer, size, format, copy);
    va_end(copy);
    return length;
}

// The marker of logs/event.log is logs/.event.log. False when the name does
// not fit, so that no operation works on a cut path.
bool marker_name(const char *file_name, char (&marker)[kMarkerPathBytes])
{
    const char *slash = std::strrchr(file_name, '/');
    const char *base = slash != nullptr ? slash + 1 : file_name;
    size_t dir_len = static_cast<size_t>(base - file_name);
    if (dir_len > INT_MAX)
        return false;
    int length = std::snprintf(marker, sizeof marker, "%.*s.%s", static_cast<int>(dir_len), file_name, base);
    return length >= 0 && static_cast<size_t>(length) < sizeof marker;
}

bool missing(const char *path)
{
    struct stat info;
    return stat(path, &info) != 0 && errno == ENOENT;
}

} // namespace

extern "C" {

int vn_hash_code_len(const char *text, int length)
{
    if (length <= 0)
        return 0;
    uint32_t hash = static_cast<uint32_t>(length);
    for (int i = 0; i < length; i++) {
        int32_t byte = static_cast<signed char>(text[i]);
        hash = (hash * 31u) ^ static_cast<uint32_t>(byte);
    }
    if (hash == 0x80000000u)
        return 0;
    int32_t value = static_cast<int32_t>(hash);
    return value < 0 ? -value : value;
}

int vn_hash_code(const char *text)
{
    size_t length = std::strlen(text);
    return vn_hash_code_len(text, length > INT_MAX ? INT_MAX : static_cast<int>(length));
}

char vn_get_word(char *line, char **rest)
{
    char *blank = std::strchr(line, ' ');
    if (blank == nullptr) {
        *rest = line + std::strlen(line);
        return 0;
    }
    *blank = '\0';
    *rest = blank + 1;
    return 1;
}

char **vn_get_words(char *line, int /*length*/, int *count, char separator)
{
    size_t words = 1;
    for (const char *c = line; *c != '\0'; c++)
        words += *c == separator ? 1 : 0;
    char **array = static_cast<char **>(vn_calloc(words, sizeof(char *)));
    array[0] = line;
    size_t next = 1;
    for (char *c = line; *c != '\0'; c++) {
        if (*c == separator) {
            *c = '\0';
            array[next++] = c + 1;
        }
    }
    *count = static_cast<int>(words);
    return array;
}

char *vn_strduplen(const char *text, size_t length)
{
    if (text == nullptr)
        return nullptr;
    char *copy = static_cast<char *>(vn_malloc(length + 1));
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

char *vn_strdupdp(const char *text, int places)
{
    std::string_view number(text);
    if (places < 0 || !is_numeric(number))
        return vn_strdup(text);
    if (!number.empty() && number.front() == '+')
        number.remove_prefix(1);
    return vn_strdup(with_places(number, places).c_str());
}

char *vn_asprintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    size_t size = kFirstFormatBytes;
    char *buffer = static_cast<char *>(vn_malloc(size));
    int length = format_into(buffer, size, format, args);
    if (length >= 0 && static_cast<size_t>(length) >= size) {
        size = static_cast<size_t>(length) + 1;
        buffer = static_cast<char *>(vn_realloc(buffer, size));
        length = format_into(buffer, size, format, args);
    }
    va_end(args);
    // A formatting error (an unconvertible wide character, a result past
    // INT_MAX) is not cured by a bigger buffer: give an empty text.
    if (length < 0)
        buffer[0] = '\0';
    return buffer;
}

int vn_file_printf(sock_t fd, const char *format, ...)
{
    char buffer[kFilePrintfBytes];
    va_list args;
    va_start(args, format);
    int length = format_into(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length < 0)
        return length;
    // Only what the buffer holds is written; the result is the uncut length.
    size_t held = static_cast<size_t>(length) < sizeof buffer ? static_cast<size_t>(length) : sizeof buffer - 1;
    ssize_t written = write(fd, buffer, held);
    (void)written;
    return length;
}

time_t vn_file_return_creation_time(const char *file_name)
{
    char marker[kMarkerPathBytes];
    if (!marker_name(file_name, marker))
        return -1;
    if (missing(file_name))
        unlink(marker);
    struct stat info;
    if (stat(marker, &info) == 0)
        return info.st_mtime;
    int fd = open(marker, O_WRONLY | O_CREAT | O_APPEND, 0664);
    if (fd >= 0)
        close(fd);
    return -1;
}

void vn_file_update_creation_time(const char *file_name)
{
    char marker[kMarkerPathBytes];
    if (marker_name(file_name, marker))
        utimensat(AT_FDCWD, marker, nullptr, 0);
}

} // extern "C"
