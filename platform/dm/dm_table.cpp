#include "dm_table.hpp"

#include <limits>
#include <sstream>

namespace rfsdm {

std::vector<std::string> split_words(const std::string &s)
{
    std::vector<std::string> words;
    std::string cur;
    for (char c : s) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!cur.empty())
                words.push_back(std::move(cur));
            cur.clear();
            continue;
        }
        cur.push_back(c);
    }
    if (!cur.empty())
        words.push_back(std::move(cur));
    return words;
}

bool parse_u64(const std::string &s, uint64_t &value)
{
    if (s.empty() || s.size() > 20)
        return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        uint64_t d = uint64_t(c - '0');
        if (v > (std::numeric_limits<uint64_t>::max() - d) / 10)
            return false;
        v = v * 10 + d;
    }
    value = v;
    return true;
}

bool parse_major_minor(const std::string &s, unsigned &major, unsigned &minor)
{
    auto colon = s.find(':');
    if (colon == std::string::npos)
        return false;
    uint64_t ma = 0, mi = 0;
    if (!parse_u64(s.substr(0, colon), ma) || !parse_u64(s.substr(colon + 1), mi))
        return false;
    if (ma > 4095 || mi > 0xfffff)
        return false;
    major = unsigned(ma);
    minor = unsigned(mi);
    return true;
}

bool parse_table(const std::string &text, std::vector<table_line> &out, std::string &error)
{
    out.clear();
    std::istringstream in(text);
    std::string raw;
    unsigned lineno = 0;
    uint64_t next = 0;
    while (std::getline(in, raw)) {
        ++lineno;
        auto words = split_words(raw);
        if (words.empty() || words[0][0] == '#')
            continue;
        if (words.size() < 3) {
            error = "Invalid format on line " + std::to_string(lineno) + " of table";
            return false;
        }
        table_line line;
        if (!parse_u64(words[0], line.start) || !parse_u64(words[1], line.length)) {
            error = "Invalid format on line " + std::to_string(lineno) + " of table";
            return false;
        }
        if (line.length == 0) {
            error = "zero-length target on line " + std::to_string(lineno);
            return false;
        }
        if (line.start != next) {
            error = "Gap in table at line " + std::to_string(lineno);
            return false;
        }
        if (line.start + line.length < line.start) {
            error = "target too large on line " + std::to_string(lineno);
            return false;
        }
        next = line.start + line.length;
        line.target = words[2];
        line.args.assign(words.begin() + 3, words.end());
        out.push_back(std::move(line));
    }
    return true;
}

std::string format_line(uint64_t start, uint64_t length, const std::string &target, const std::string &params)
{
    return std::to_string(start) + " " + std::to_string(length) + " " + target + " " + params;
}

static std::string double_dashes(const std::string &s)
{
    std::string r;
    for (char c : s) {
        r.push_back(c);
        if (c == '-')
            r.push_back('-');
    }
    return r;
}

std::string lvm_dm_name(const std::string &vg, const std::string &lv)
{
    return double_dashes(vg) + "-" + double_dashes(lv);
}

} // namespace rfsdm
