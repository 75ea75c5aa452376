// Name mapping: subjects translated between the application's namespace and
// the peers' by simple wildcard patterns. The tables are filled while the
// configuration is read, before any thread but the init thread runs, and only
// read afterwards, so lookups take no lock.
#include "vantrix_private.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct pattern_t;

// One side of a pattern: the fixed text before and after its star.
struct pattern_data_t {
    std::string prefix;
    std::string postfix;
};

// Returns the part of `subject` the star stood for, or false when the side does not match.
using match_fn = bool (*)(std::string_view subject, const pattern_data_t &side, std::string_view *middle);
// Writes the result for `middle` into buf (VN_MAP_BUFFER_BYTES bytes).
using map_fn = void (*)(std::string_view middle, const pattern_data_t &side, char *buf);

struct pattern_t {
    match_fn match;
    map_fn map;
    pattern_data_t in;
    pattern_data_t out;
};

// One entry each per add-pattern; both grow together.
std::vector<pattern_t> &patterns = *new std::vector<pattern_t>;
std::vector<pattern_t> &rev_patterns = *new std::vector<pattern_t>;

constexpr size_t kMaxResult = VN_MAP_BUFFER_BYTES - 1;

bool match_direct(std::string_view subject, const pattern_data_t &side, std::string_view *middle)
{
    *middle = subject;
    return subject == side.prefix;
}

bool match_all(std::string_view subject, const pattern_data_t &, std::string_view *middle)
{
    *middle = subject;
    return true;
}

bool match_postfix(std::string_view subject, const pattern_data_t &side, std::string_view *middle)
{
    if (!subject.ends_with(side.postfix))
        return false;
    *middle = subject.substr(0, subject.size() - side.postfix.size());
    return true;
}

bool match_prefix(std::string_view subject, const pattern_data_t &side, std::string_view *middle)
{
    if (!subject.starts_with(side.prefix))
        return false;
    *middle = subject.substr(side.prefix.size());
    return true;
}

bool match_both(std::string_view subject, const pattern_data_t &side, std::string_view *middle)
{
    // Measured first, so that a prefix and postfix that overlap in a short
    // subject are not both taken from the same characters.
    if (subject.size() < side.prefix.size() + side.postfix.size())
        return false;
    if (!subject.starts_with(side.prefix) || !subject.ends_with(side.postfix))
        return false;
    *middle = subject.substr(side.prefix.size(), subject.size() - side.prefix.size() - side.postfix.size());
    return true;
}

// Appends to buf at *used, never past kMaxResult characters.
void append(char *buf, size_t *used, std::string_view text)
{
    size_t room = kMaxResult - *used;
    size_t take = std::min(room, text.size());
    if (take == 0)
        return; // an empty part may have no storage at all
    std::memcpy(buf + *used, text.data(), take);
    *used += take;
}

void write_parts(char *buf, std::string_view first, std::string_view second, std::string_view third)
{
    size_t used = 0;
    append(buf, &used, first);
    append(buf, &used, second);
    append(buf, &used, third);
    buf[used] = '\0';
}

void map_direct(std::string_view, const pattern_data_t &side, char *buf)
{
    write_parts(buf, side.prefix, {}, {});
}

void map_all(std::string_view middle, const pattern_data_t &, char *buf)
{
    write_parts(buf, middle, {}, {});
}

void map_postfix(std::string_view middle, const pattern_data_t &side, char *buf)
{
    write_parts(buf, middle, side.postfix, {});
}

void map_prefix(std::string_view middle, const pattern_data_t &side, char *buf)
{
    write_parts(buf, side.prefix, middle, {});
}

void map_both(std::string_view middle, const pattern_data_t &side, char *buf)
{
    write_parts(buf, side.prefix, middle, side.postfix);
}

enum class Kind { kDirect, kAll, kPostfix, kPrefix, kBoth };

// The kind is decided by the first star; any later star is an ordinary character.
Kind parse_side(std::string_view text, pattern_data_t *side)
{
    size_t star = text.find('*');
    if (star == std::string_view::npos) {
        side->prefix = text;
        return Kind::kDirect;
    }
    side->prefix = text.substr(0, star);
    side->postfix = text.substr(star + 1);
    if (text.size() == 1)
        return Kind::kAll;
    if (star == 0)
        return Kind::kPostfix;
    if (star == text.size() - 1)
        return Kind::kPrefix;
    return Kind::kBoth;
}

struct kind_ops_t {
    match_fn match;
    map_fn map;
};

const kind_ops_t &ops_of(Kind kind)
{
    static const kind_ops_t table[] = {
        {match_direct, map_direct},   {match_all, map_all},   {match_postfix, map_postfix},
        {match_prefix, map_prefix}, {match_both, map_both},
    };
    return table[static_cast<int>(kind)];
}

pattern_t make_entry(const char *from, const char *to)
{
    pattern_t entry{};
    entry.match = ops_of(parse_side(from, &entry.in)).match;
    entry.map = ops_of(parse_side(to, &entry.out)).map;
    return entry;
}

const char *map_with(const std::vector<pattern_t> &table, const char *name, char *buf)
{
    if (name == nullptr)
        return name;
    std::string_view subject(name);
    for (const pattern_t &entry : table) {
        std::string_view middle;
        if (entry.match(subject, entry.in, &middle)) {
            entry.map(middle, entry.out, buf);
            return buf;
        }
    }
    return name;
}

void c_add_pattern(const char *, int count, char **words)
{
    if (count == 2)
        _vn_map_add_pattern(words[0], words[1]);
}

} // namespace

extern "C" {

void _vn_map_add_pattern(const char *in, const char *out)
{
    patterns.push_back(make_entry(in, out));
    rev_patterns.push_back(make_entry(out, in));
}

const char *_vn_map_name(const char *name, char *buf)
{
    return map_with(patterns, name, buf);
}

const char *_vn_map_rev_name(const char *name, char *buf)
{
    return map_with(rev_patterns, name, buf);
}

void _vn_map_config_init(void)
{
    patterns.clear();
    rev_patterns.clear();
    vn_config_add_option(0, "add-pattern", "!NameMapping|!Add a name mapping pattern", VN_CONFIG_FUNCTION,
                         reinterpret_cast<void *>(c_add_pattern));
}

void _vn_map_init(vn_init_t *) {}

void _vn_map_write_xml(void *, void *) {}

} // extern "C"
