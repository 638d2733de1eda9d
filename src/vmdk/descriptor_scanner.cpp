// Hand-written longest-match scanner of the descriptor language.

#include "vmdk/descriptor_scanner.hpp"

#include "common/logging.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

// Enough to see one token past the longest allowed one, so that an overlong
// token is recognised as such.
constexpr size_t LOOKAHEAD = VMDK_TOKEN_MAX + 1;
constexpr size_t WINDOW_SIZE = 64 * 1024;
static_assert(WINDOW_SIZE > 2 * LOOKAHEAD);

struct keyword_t {
    std::string_view pattern;
    vmdk_token_t token;
    // In the keys of the disk database, "." stands for any character but a
    // newline.
    bool dot_is_wildcard;
};

// Case is ignored in every keyword. Equal-length matches cannot happen
// between two entries, except through the wildcard, where the earlier wins.
constexpr keyword_t KEYWORDS[] = {
    {"version", vmdk_token_t::KW_VERSION, false},
    {"encoding", vmdk_token_t::KW_ENCODING, false},
    {"CID", vmdk_token_t::KW_CID, false},
    {"parentCID", vmdk_token_t::KW_PARENTCID, false},
    {"createType", vmdk_token_t::KW_CREATETYPE, false},
    {"parentFileNameHint", vmdk_token_t::KW_PARENTFILENAMEHINT, false},
    {"changeTrackPath", vmdk_token_t::KW_CHANGETRACKPATH, false},
    {"RW", vmdk_token_t::KW_RW, false},
    {"RDONLY", vmdk_token_t::KW_RDONLY, false},
    {"NOACCESS", vmdk_token_t::KW_NOACCESS, false},
    {"FLAT", vmdk_token_t::KW_FLAT, false},
    {"SPARSE", vmdk_token_t::KW_SPARSE, false},
    {"ZERO", vmdk_token_t::KW_ZERO, false},
    {"VMFS", vmdk_token_t::KW_VMFS, false},
    {"VMFSSPARSE", vmdk_token_t::KW_VMFSSPARSE, false},
    {"SESPARSE", vmdk_token_t::KW_SESPARSE, false},
    {"VMFSRDM", vmdk_token_t::KW_VMFSRDM, false},
    {"VMFSRAW", vmdk_token_t::KW_VMFSRAW, false},
    {"ddb.virtualHWVersion", vmdk_token_t::KW_DDB_VIRTUALHWVERSION, true},
    {"ddb.geometry.cylinders", vmdk_token_t::KW_DDB_CYLINDERS, true},
    {"ddb.geometry.heads", vmdk_token_t::KW_DDB_HEADS, true},
    {"ddb.geometry.sectors", vmdk_token_t::KW_DDB_SECTORS, true},
    {"ddb.geometry.biosCylinders", vmdk_token_t::KW_DDB_BIOSCYLINDERS, true},
    {"ddb.geometry.biosHeads", vmdk_token_t::KW_DDB_BIOSHEADS, true},
    {"ddb.geometry.biosSectors", vmdk_token_t::KW_DDB_BIOSSECTORS, true},
    {"ddb.adapterType", vmdk_token_t::KW_DDB_ADAPTERTYPE, true},
    {"ddb.toolsVersion", vmdk_token_t::KW_DDB_TOOLSVERSION, true},
    {"ddb.encoding", vmdk_token_t::KW_DDB_ENCODING, true},
    {"ddb.uuid", vmdk_token_t::KW_DDB_UUID, true},
    {"ddb.longContentID", vmdk_token_t::KW_DDB_LONGCONTENTID, true},
    {"ddb.thinProvisioned", vmdk_token_t::KW_DDB_THINPROVISIONED, true},
    {"\"UTF-8\"", vmdk_token_t::Q_UTF8, false},
    {"\"monolithicSparse\"", vmdk_token_t::Q_MONOLITHICSPARSE, false},
    {"\"vmfsSparse\"", vmdk_token_t::Q_VMFSSPARSE, false},
    {"\"seSparse\"", vmdk_token_t::Q_SESPARSE, false},
    {"\"monolithicFlat\"", vmdk_token_t::Q_MONOLITHICFLAT, false},
    {"\"vmfs\"", vmdk_token_t::Q_VMFS, false},
    {"\"twoGbMaxExtentSparse\"", vmdk_token_t::Q_TWOGBMAXEXTENTSPARSE, false},
    {"\"twoGbMaxExtentFlat\"", vmdk_token_t::Q_TWOGBMAXEXTENTFLAT, false},
    {"\"fullDevice\"", vmdk_token_t::Q_FULLDEVICE, false},
    {"\"vmfsRaw\"", vmdk_token_t::Q_VMFSRAW, false},
    {"\"partitionedDevice\"", vmdk_token_t::Q_PARTITIONEDDEVICE, false},
    {"\"vmfsRawDeviceMap\"", vmdk_token_t::Q_VMFSRAWDEVICEMAP, false},
    {"\"vmfsPassthroughRawDeviceMap\"", vmdk_token_t::Q_VMFSPASSTHROUGHRAWDEVICEMAP, false},
    {"\"streamOptimized\"", vmdk_token_t::Q_STREAMOPTIMIZED, false},
    {"\"ide\"", vmdk_token_t::Q_IDE, false},
    {"\"buslogic\"", vmdk_token_t::Q_BUSLOGIC, false},
    {"\"lsilogic\"", vmdk_token_t::Q_LSILOGIC, false},
    {"\"legacyESX\"", vmdk_token_t::Q_LEGACYESX, false},
};

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool is_hex(char c)
{
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_string_char(char c)
{
    return c != '"' && c != '\n';
}

// Length of the keyword at the start of `s`, or 0.
size_t match_keyword(std::string_view s, const keyword_t &kw)
{
    size_t n = kw.pattern.size();
    if (s.size() < n || lower(s[0]) != lower(kw.pattern[0]))
        return 0;
    for (size_t i = 0; i < n; i++) {
        char p = kw.pattern[i];
        if (kw.dot_is_wildcard && p == '.') {
            if (s[i] == '\n')
                return 0;
            continue;
        }
        if (lower(s[i]) != lower(p))
            return 0;
    }
    return n;
}

// The match functions below stop counting at `s.size()`, which the caller
// limits to LOOKAHEAD bytes: anything that long is too long anyway.

size_t match_comment(std::string_view s)
{
    if (s.empty() || s[0] != '#')
        return 0;
    size_t n = 1;
    while (n < s.size() && s[n] != '\n')
        n++;
    return n >= 2 ? n : 0; // "#" right before a newline is no comment
}

template <typename Pred> size_t match_run(std::string_view s, Pred pred)
{
    size_t n = 0;
    while (n < s.size() && pred(s[n]))
        n++;
    return n;
}

// A double quote, a run of characters accepted by `pred`, a double quote.
template <typename Pred> size_t match_quoted(std::string_view s, Pred pred)
{
    if (s.empty() || s[0] != '"')
        return 0;
    size_t n = 1 + match_run(s.substr(1), pred);
    if (n < 2 || n >= s.size() || s[n] != '"')
        return 0;
    return n + 1;
}

} // namespace

descriptor_scanner::descriptor_scanner(int fd, off_t start)
    : fd_(fd), file_pos_(start), window_(std::make_unique_for_overwrite<char[]>(WINDOW_SIZE)),
      base_(window_.get())
{
}

descriptor_scanner::descriptor_scanner(const char *data, size_t size)
    : base_(data), end_(size), eof_(true)
{
}

void descriptor_scanner::refill()
{
    if (eof_ || available() >= LOOKAHEAD)
        return;
    size_t keep = available();
    memmove(window_.get(), window_.get() + pos_, keep);
    pos_ = 0;
    end_ = keep;
    while (end_ < WINDOW_SIZE) {
        ssize_t n = pread(fd_, window_.get() + end_, WINDOW_SIZE - end_, file_pos_);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            read_error_ = errno;
            eof_ = true;
            return;
        }
        if (n == 0) {
            eof_ = true;
            return;
        }
        end_ += static_cast<size_t>(n);
        file_pos_ += n;
    }
}

int descriptor_scanner::char_after_run(size_t from, bool (*accept)(char))
{
    for (size_t i = pos_ + from; i < end_; i++)
        if (!accept(base_[i]))
            return static_cast<unsigned char>(base_[i]);
    if (eof_)
        return -1;
    // Past the window: read on without disturbing the scanner's state.
    char buf[4096];
    off_t off = file_pos_;
    for (;;) {
        ssize_t n = pread(fd_, buf, sizeof buf, off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        for (ssize_t i = 0; i < n; i++)
            if (!accept(buf[i]))
                return static_cast<unsigned char>(buf[i]);
        off += n;
    }
}

size_t descriptor_scanner::match_long_quoted(std::string_view s, bool (*accept)(char))
{
    size_t n = match_quoted(s, accept);
    if (n > 0 || s.size() < LOOKAHEAD || s[0] != '"')
        return n;
    // The run fills the whole view: if it is closed further on, the token
    // exists and is too long; if not, it is no quoted token at all.
    if (match_run(s.substr(1), accept) != s.size() - 1)
        return 0;
    return char_after_run(s.size(), accept) == '"' ? LOOKAHEAD + 1 : 0;
}

vmdk_token_t descriptor_scanner::next()
{
    for (;;) {
        refill();
        line_ = next_line_;
        if (read_error_ != 0) {
            text_ = {};
            return vmdk_token_t::END;
        }
        if (available() == 0) {
            text_ = {};
            return vmdk_token_t::END;
        }
        std::string_view s(base_ + pos_, std::min(available(), LOOKAHEAD));

        // Longest match; a later class must be strictly longer to win.
        enum class kind { none, comment, blank, keyword, number, hex, numstring, string, newline, equal };
        kind best = kind::none;
        size_t best_len = 0;
        vmdk_token_t best_kw = vmdk_token_t::LEX_ERROR;
        auto consider = [&](kind k, size_t len) {
            if (len > best_len) {
                best = k;
                best_len = len;
            }
        };
        consider(kind::comment, match_comment(s));
        consider(kind::blank, (s[0] == ' ' || s[0] == '\t') ? 1 : 0);
        for (const keyword_t &kw : KEYWORDS) {
            size_t len = match_keyword(s, kw);
            if (len > best_len) {
                best = kind::keyword;
                best_len = len;
                best_kw = kw.token;
            }
        }
        consider(kind::number, match_run(s, is_digit));
        consider(kind::hex, match_run(s, is_hex));
        consider(kind::numstring, match_long_quoted(s, is_digit));
        consider(kind::string, match_long_quoted(s, is_string_char));
        consider(kind::newline, s[0] == '\n' ? 1 : 0);
        consider(kind::equal, s[0] == '=' ? 1 : 0);

        if (best_len > VMDK_TOKEN_MAX) {
            text_ = s.substr(0, 0);
            return vmdk_token_t::TOO_LONG;
        }
        if (best == kind::none) {
            char c = s[0];
            text_ = s.substr(0, 1);
            pos_ += 1;
            ts_dprintf(5, "Invalid char: %c\n", c);
            return vmdk_token_t::LEX_ERROR;
        }
        text_ = s.substr(0, best_len);
        pos_ += best_len;
        switch (best) {
        case kind::comment:
        case kind::blank:
            continue;
        case kind::keyword:
            return best_kw;
        case kind::number:
            return vmdk_token_t::NUMBER;
        case kind::hex:
            return vmdk_token_t::HEXNUMBER;
        case kind::numstring:
            return vmdk_token_t::NUMSTRING;
        case kind::string:
            return vmdk_token_t::STRING;
        case kind::newline:
            next_line_++;
            return vmdk_token_t::NEWLINE;
        case kind::equal:
            return vmdk_token_t::EQUAL;
        case kind::none:
            break;
        }
        return vmdk_token_t::LEX_ERROR;
    }
}
