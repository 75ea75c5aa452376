// Splits a command or option line into words in place, with quotes and
// backslash escapes.
#include "vantrix_private.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Outside quotes these end a word; vertical tab and form feed do not.
bool ends_word(char c)
{
    return c == '\0' || c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

class Splitter {
public:
    Splitter(char *line, size_t length) : text_(line, length), out_(line), length_(length)
    {
        text_.push_back('\0'); // position length is the copy's terminator
        starts_.push_back(line);
    }

    std::vector<char *> run()
    {
        while (in_ < length_ && is_space(text_[in_]))
            in_++;
        while (in_ <= length_)
            step();
        return std::move(starts_);
    }

private:
    void step()
    {
        char c = text_[in_];
        bool quoted = double_ || single_;
        if (!quoted && ends_word(c))
            end_word();
        else if (c == '"' && !single_)
            double_ = !double_, in_++;
        else if (c == '\'' && !double_)
            single_ = !single_, in_++;
        else if (c == '\\')
            escape(quoted);
        else
            copy(c, 1);
    }

    void end_word()
    {
        out_[written_++] = '\0';
        in_++;
        while (in_ <= length_ && (text_[in_] == '\0' || is_space(text_[in_])))
            in_++;
        if (in_ <= length_)
            starts_.push_back(out_ + written_);
    }

    // Copies one character that came from `consumed` input bytes. A NUL copied
    // inside a word splits it: what follows is a further word, unless the NUL
    // is the copy's terminator.
    void copy(char c, size_t consumed)
    {
        out_[written_++] = c;
        in_ += consumed;
        if (c == '\0' && in_ <= length_)
            starts_.push_back(out_ + written_);
    }

    void escape(bool quoted)
    {
        char next = text_[in_ + 1]; // in_ < length_ here: the terminator is never a backslash
        if (next == '"' || next == '\'' || next == '\\' || (next == ' ' && !quoted)) {
            copy(next, 2);
            return;
        }
        if ((next == 'x' || next == 'X') && in_ + 3 < length_) {
            int high = hex_value(text_[in_ + 2]);
            int low = hex_value(text_[in_ + 3]);
            if (high >= 0 && low >= 0) {
                copy(static_cast<char>(high * 16 + low), 4);
                return;
            }
        }
        out_[written_++] = '\\';
        in_++;
        copy(next, 1);
    }

    std::string text_;
    char *out_;
    size_t length_;
    size_t in_ = 0;
    size_t written_ = 0; // never ahead of in_, so the line's own bytes suffice
    bool double_ = false;
    bool single_ = false;
    std::vector<char *> starts_;
};

} // namespace

extern "C" char **tarvelutil_argument_parse(char *line, int length, int *count)
{
    if (line == nullptr || length < 0) {
        if (count != nullptr)
            *count = 0;
        return nullptr;
    }
    std::vector<char *> starts = Splitter(line, static_cast<size_t>(length)).run();
    char **words = static_cast<char **>(vn_malloc((starts.size() + 1) * sizeof(char *)));
    std::memcpy(words, starts.data(), starts.size() * sizeof(char *));
    words[starts.size()] = nullptr;
    if (count != nullptr)
        *count = static_cast<int>(starts.size());
    return words;
}
