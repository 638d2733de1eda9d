// Grammar of the descriptor language over the token stream of
// descriptor_scanner, and the values each recognised line stores.
//
// A file is a sequence of statements (at least one). A statement is a line
// ended by a newline, or one of the four statements that need none
// ("parentFileNameHint", "ddb.encoding", "ddb.uuid", "ddb.longContentID"),
// which may be followed directly by another statement or end the file. A line
// that does not match is skipped up to and including its newline and stores
// nothing, not even a statement before the fault; reaching the end of the file
// inside an unfinished line fails the parse. A token over the length limit
// and an extent past the count limit refuse the whole file.

#include "vmdk/descriptor_parser.hpp"

#include "common/unique_fd.hpp"
#include "vmdk/descriptor_scanner.hpp"
#include "vmdk/vmdk_input.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <vector>

namespace {

// Where the second attempt starts: after the 512-byte header of a hosted
// sparse extent that embeds its descriptor.
constexpr off_t SECOND_ATTEMPT_OFFSET = 512;

enum class attempt_status_t { ok, failed, too_long, too_many_extents, read_error };

struct attempt_t {
    attempt_status_t status = attempt_status_t::failed;
    unsigned line = 0; // where a limit was hit
    int read_errno = 0;
};

// Numbers keep the low bits of their value: the language has no overflow
// error, and unsigned wrap-around is defined.
template <typename T> T parse_decimal(std::string_view digits)
{
    T v = 0;
    for (char c : digits)
        v = static_cast<T>(v * 10 + static_cast<T>(c - '0'));
    return v;
}

uint32_t parse_hex32(std::string_view digits)
{
    uint32_t v = 0;
    for (char c : digits) {
        uint32_t d = (c >= '0' && c <= '9')   ? static_cast<uint32_t>(c - '0')
                     : (c >= 'a' && c <= 'f') ? static_cast<uint32_t>(c - 'a' + 10)
                                              : static_cast<uint32_t>(c - 'A' + 10);
        v = (v << 4) | d;
    }
    return v;
}

// The text between the quotes of a String or quoted number.
std::string_view unquote(std::string_view quoted)
{
    return quoted.substr(1, quoted.size() - 2);
}

void copy_cut(char *dst, size_t dstlen, std::string_view src)
{
    size_t n = std::min(src.size(), dstlen - 1);
    memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

bool createtype_of(vmdk_token_t t, createtype_t *ct)
{
    switch (t) {
    case vmdk_token_t::Q_MONOLITHICSPARSE: *ct = CT_MONOLITHIC_SPARSE; return true;
    case vmdk_token_t::Q_VMFSSPARSE: *ct = CT_VMFS_SPARSE; return true;
    case vmdk_token_t::Q_SESPARSE: *ct = CT_SE_SPARSE; return true;
    case vmdk_token_t::Q_MONOLITHICFLAT: *ct = CT_MONOLITHIC_FLAT; return true;
    case vmdk_token_t::Q_VMFS: *ct = CT_VMFS; return true;
    case vmdk_token_t::Q_TWOGBMAXEXTENTSPARSE: *ct = CT_TWOGB_MAX_EXTENT_SPARSE; return true;
    case vmdk_token_t::Q_TWOGBMAXEXTENTFLAT: *ct = CT_TWOGB_MAX_EXTENT_FLAT; return true;
    case vmdk_token_t::Q_FULLDEVICE: *ct = CT_FULL_DEVICE; return true;
    case vmdk_token_t::Q_VMFSRAW: *ct = CT_VMFS_RAW; return true;
    case vmdk_token_t::Q_PARTITIONEDDEVICE: *ct = CT_PARTITIONED_DEVICE; return true;
    case vmdk_token_t::Q_VMFSRAWDEVICEMAP: *ct = CT_VMFS_RAW_DEVICE_MAP; return true;
    case vmdk_token_t::Q_VMFSPASSTHROUGHRAWDEVICEMAP: *ct = CT_VMFS_PASSTHROUGH_RAW_DEVICE_MAP; return true;
    case vmdk_token_t::Q_STREAMOPTIMIZED: *ct = CT_STREAM_OPTIMIZED; return true;
    default: return false;
    }
}

bool adaptertype_of(vmdk_token_t t, adaptertype_t *at)
{
    switch (t) {
    case vmdk_token_t::Q_IDE: *at = AT_IDE; return true;
    case vmdk_token_t::Q_BUSLOGIC: *at = AT_BUSLOGIC; return true;
    case vmdk_token_t::Q_LSILOGIC: *at = AT_LSILOGIC; return true;
    case vmdk_token_t::Q_LEGACYESX: *at = AT_LEGACYESX; return true;
    default: return false;
    }
}

bool extentmode_of(vmdk_token_t t, extentmode_t *m)
{
    switch (t) {
    case vmdk_token_t::KW_RW: *m = EM_RW; return true;
    case vmdk_token_t::KW_RDONLY: *m = EM_RDONLY; return true;
    case vmdk_token_t::KW_NOACCESS: *m = EM_NOACCESS; return true;
    default: return false;
    }
}

bool extenttype_of(vmdk_token_t t, extenttype_t *et)
{
    switch (t) {
    case vmdk_token_t::KW_FLAT: *et = ET_FLAT; return true;
    case vmdk_token_t::KW_SPARSE: *et = ET_SPARSE; return true;
    case vmdk_token_t::KW_ZERO: *et = ET_ZERO; return true;
    case vmdk_token_t::KW_VMFS: *et = ET_VMFS; return true;
    case vmdk_token_t::KW_VMFSSPARSE: *et = ET_VMFSSPARSE; return true;
    case vmdk_token_t::KW_SESPARSE: *et = ET_SESPARSE; return true;
    case vmdk_token_t::KW_VMFSRDM: *et = ET_VMFSRDM; return true;
    case vmdk_token_t::KW_VMFSRAW: *et = ET_VMFSRAW; return true;
    default: return false;
    }
}

class descriptor_parser {
  public:
    descriptor_parser(descriptor_scanner &sc, vmdkdesc_t *d) : sc_(sc), d_(d) {}

    attempt_t run()
    {
        unsigned statements = 0;
        advance();
        for (;;) {
            if (tok_ == vmdk_token_t::END) {
                commit();
                return end_of_input(statements > 0);
            }
            if (tok_ == vmdk_token_t::TOO_LONG)
                return limit(attempt_status_t::too_long);
            if (statement()) {
                statements++;
                if (prev_ == vmdk_token_t::NEWLINE)
                    commit();
                if (too_many_extents_)
                    return limit(attempt_status_t::too_many_extents);
                continue;
            }
            // Skip the rest of the line, its newline included.
            pending_.clear();
            while (tok_ != vmdk_token_t::NEWLINE) {
                if (tok_ == vmdk_token_t::END)
                    return end_of_input(false);
                if (tok_ == vmdk_token_t::TOO_LONG)
                    return limit(attempt_status_t::too_long);
                advance();
            }
            advance();
            statements++;
        }
    }

  private:
    void advance()
    {
        prev_ = tok_;
        tok_ = sc_.next();
    }

    // The statements that need no newline store their values only once their
    // line turns out well-formed: at its newline or at the end of the file.
    // A line skipped after them stores nothing.
    void defer(std::function<void()> store) { pending_.push_back(std::move(store)); }
    void commit()
    {
        for (auto &store : pending_)
            store();
        pending_.clear();
    }

    attempt_t end_of_input(bool complete)
    {
        if (sc_.read_error() != 0)
            return {attempt_status_t::read_error, sc_.line(), sc_.read_error()};
        return {complete ? attempt_status_t::ok : attempt_status_t::failed, 0, 0};
    }

    attempt_t limit(attempt_status_t status) { return {status, sc_.line(), 0}; }

    bool take(vmdk_token_t t)
    {
        if (tok_ != t)
            return false;
        advance();
        return true;
    }

    // Takes a value token of kind `a` or `b`, keeping its text.
    bool take_value(std::string &text, vmdk_token_t a, vmdk_token_t b = vmdk_token_t::END)
    {
        if (tok_ != a && (b == vmdk_token_t::END || tok_ != b))
            return false;
        text.assign(sc_.text());
        advance();
        return true;
    }

    bool key_equal_value(std::string &text, vmdk_token_t a, vmdk_token_t b = vmdk_token_t::END)
    {
        advance(); // the key
        return take(vmdk_token_t::EQUAL) && take_value(text, a, b);
    }

    // One statement starting at tok_. True when it matched and its values are
    // stored (tok_ is then the token after it); false on a syntax error, with
    // the offending token in tok_.
    bool statement()
    {
        std::string v;
        switch (tok_) {
        case vmdk_token_t::NEWLINE:
            advance();
            return true;

        case vmdk_token_t::KW_VERSION:
            if (!key_equal_value(v, vmdk_token_t::NUMBER) || !take(vmdk_token_t::NEWLINE))
                return false;
            d_->version = parse_decimal<uint32_t>(v);
            return true;
        case vmdk_token_t::KW_ENCODING:
            if (!key_equal_value(v, vmdk_token_t::Q_UTF8) || !take(vmdk_token_t::NEWLINE))
                return false;
            d_->encoding = EN_UTF8;
            return true;
        case vmdk_token_t::KW_CID:
            if (!key_equal_value(v, vmdk_token_t::NUMBER, vmdk_token_t::HEXNUMBER) ||
                !take(vmdk_token_t::NEWLINE))
                return false;
            d_->cid = parse_hex32(v);
            return true;
        case vmdk_token_t::KW_PARENTCID:
            if (!key_equal_value(v, vmdk_token_t::NUMBER, vmdk_token_t::HEXNUMBER) ||
                !take(vmdk_token_t::NEWLINE))
                return false;
            d_->pcid = parse_hex32(v);
            return true;
        case vmdk_token_t::KW_CREATETYPE:
            return create_type();
        case vmdk_token_t::KW_PARENTFILENAMEHINT:
            if (!key_equal_value(v, vmdk_token_t::STRING))
                return false;
            defer([this, v] { d_->parentfilenamehint.assign(unquote(v)); });
            return true;
        case vmdk_token_t::KW_CHANGETRACKPATH:
            if (!key_equal_value(v, vmdk_token_t::STRING) || !take(vmdk_token_t::NEWLINE))
                return false;
            d_->change_track_path = v;
            return true;

        case vmdk_token_t::KW_RW:
        case vmdk_token_t::KW_RDONLY:
        case vmdk_token_t::KW_NOACCESS:
            return extent_line();

        case vmdk_token_t::KW_DDB_VIRTUALHWVERSION:
            return ddb_number(&d_->diskdb.hwversion);
        case vmdk_token_t::KW_DDB_CYLINDERS:
            return ddb_number(&d_->diskdb.cylinders);
        case vmdk_token_t::KW_DDB_HEADS:
            return ddb_number(&d_->diskdb.heads);
        case vmdk_token_t::KW_DDB_SECTORS:
            return ddb_number(&d_->diskdb.sectors);
        case vmdk_token_t::KW_DDB_BIOSCYLINDERS:
        case vmdk_token_t::KW_DDB_BIOSHEADS:
        case vmdk_token_t::KW_DDB_BIOSSECTORS:
            return ddb_number(nullptr);
        case vmdk_token_t::KW_DDB_TOOLSVERSION:
            return ddb_number(&d_->diskdb.toolsversion);
        case vmdk_token_t::KW_DDB_THINPROVISIONED: {
            uint32_t thin = 0;
            if (!ddb_number(&thin))
                return false;
            d_->thin_provisioned = tol_bool(thin != 0);
            return true;
        }
        case vmdk_token_t::KW_DDB_ADAPTERTYPE:
            return adapter_type();
        case vmdk_token_t::KW_DDB_ENCODING:
            if (!key_equal_value(v, vmdk_token_t::Q_UTF8))
                return false;
            defer([this] { d_->diskdb.encoding = EN_UTF8; });
            return true;
        case vmdk_token_t::KW_DDB_UUID:
            if (!key_equal_value(v, vmdk_token_t::STRING))
                return false;
            defer([this, v] { copy_cut(d_->diskdb.uuid, sizeof d_->diskdb.uuid, v); });
            return true;
        case vmdk_token_t::KW_DDB_LONGCONTENTID:
            if (!key_equal_value(v, vmdk_token_t::STRING))
                return false;
            defer([this, v] {
                copy_cut(d_->diskdb.longcontentid, sizeof d_->diskdb.longcontentid, v);
            });
            return true;

        default:
            return false;
        }
    }

    bool create_type()
    {
        advance();
        if (!take(vmdk_token_t::EQUAL))
            return false;
        createtype_t ct;
        if (!createtype_of(tok_, &ct))
            return false;
        advance();
        if (!take(vmdk_token_t::NEWLINE))
            return false;
        d_->createtype = ct;
        return true;
    }

    bool adapter_type()
    {
        advance();
        if (!take(vmdk_token_t::EQUAL))
            return false;
        adaptertype_t at;
        if (!adaptertype_of(tok_, &at))
            return false;
        advance();
        if (!take(vmdk_token_t::NEWLINE))
            return false;
        d_->diskdb.adaptertype = at;
        return true;
    }

    // A disk-database key with a quoted decimal number; `dst` null for the
    // keys whose value is accepted and not kept.
    bool ddb_number(uint32_t *dst)
    {
        std::string v;
        if (!key_equal_value(v, vmdk_token_t::NUMSTRING) || !take(vmdk_token_t::NEWLINE))
            return false;
        if (dst)
            *dst = parse_decimal<uint32_t>(unquote(v));
        return true;
    }

    // access size type "file name" [offset-in-file] newline
    bool extent_line()
    {
        extentmode_t mode;
        extentmode_of(tok_, &mode);
        advance();
        std::string size, name, unused;
        if (!take_value(size, vmdk_token_t::NUMBER))
            return false;
        extenttype_t type;
        if (!extenttype_of(tok_, &type))
            return false;
        advance();
        if (!take_value(name, vmdk_token_t::STRING))
            return false;
        take_value(unused, vmdk_token_t::NUMBER); // offset within the file: not used
        if (!take(vmdk_token_t::NEWLINE))
            return false;

        uint32_t n = d_->extentdesccount;
        if (n >= VMDK_MAX_EXTENTS) {
            too_many_extents_ = true;
            return true;
        }
        auto e = std::make_unique<extentdesc_t>();
        e->mode = mode;
        e->extentsize = parse_decimal<uint64_t>(size);
        e->extenttype = type;
        if (n > 0)
            e->extentoffset = d_->extentdesc[n - 1]->extentoffset + d_->extentdesc[n - 1]->extentsize;
        copy_cut(e->extentname, sizeof e->extentname, unquote(name));
        e->fd = -1;
        d_->extentdesc[n] = std::move(e);
        d_->extentdesccount = n + 1;
        return true;
    }

    descriptor_scanner &sc_;
    vmdkdesc_t *d_;
    vmdk_token_t tok_ = vmdk_token_t::END;
    vmdk_token_t prev_ = vmdk_token_t::END;
    std::vector<std::function<void()>> pending_;
    bool too_many_extents_ = false;
};

// A read error or a limit ends the parse at once: a second attempt over the
// same bytes could only hide the fault.
bool is_final(const attempt_t &a)
{
    return a.status != attempt_status_t::failed;
}

// The error of an attempt that did not succeed.
errdesc_t *attempt_error(const char *name, const attempt_t &a)
{
    switch (a.status) {
    case attempt_status_t::read_error:
        return errdesc_set_str(a.read_errno, name);
    case attempt_status_t::too_long:
        return errdesc_set_fmt(ERR_OVERFLOW,
                               "cannot parse the input file: %s: token longer than %zu bytes at "
                               "line %u",
                               name, VMDK_TOKEN_MAX, a.line);
    case attempt_status_t::too_many_extents:
        return errdesc_set_fmt(ERR_OVERFLOW,
                               "cannot parse the input file: %s: more than %u extents (line %u)",
                               name, VMDK_MAX_EXTENTS, a.line);
    case attempt_status_t::ok:
    case attempt_status_t::failed:
        break;
    }
    return errdesc_set_fmt(EAGAIN, "cannot parse the input file");
}

} // namespace

namespace
{

// The two attempts over a descriptor held in memory; `name` for the errors.
errdesc_t *parse_text(const char *name, const char *data, size_t size, vmdkdesc_t *vmdkdesc)
{
    vmdk_clear_vmdkdesc(vmdkdesc);
    // The record is not cleared between the attempts: the second one adds to
    // what the first stored.
    descriptor_scanner first(data, size);
    attempt_t a = descriptor_parser(first, vmdkdesc).run();
    if (a.status == attempt_status_t::ok)
        return nullptr;
    if (is_final(a))
        return attempt_error(name, a);
    size_t skip = std::min(size, static_cast<size_t>(SECOND_ATTEMPT_OFFSET));
    descriptor_scanner second(data + skip, size - skip);
    attempt_t b = descriptor_parser(second, vmdkdesc).run();
    if (b.status == attempt_status_t::ok)
        return nullptr;
    return attempt_error(name, b);
}

} // namespace

errdesc_t *vmdk_parse_file_contents(const char *vmdkfile, vmdkdesc_t *vmdkdesc, const char *root)
{
    vmdk_clear_vmdkdesc(vmdkdesc);
    std::string real_root;
    if (errdesc_t *err = vmdk_real_root(root, &real_root))
        return err;
    unique_fd fd;
    struct stat st;
    if (errdesc_t *err = vmdk_open_input(vmdkfile, real_root, false, &fd, &st))
        return err;
    std::string text;
    if (errdesc_t *err = vmdk_read_descriptor_text(fd.get(), st, vmdkfile, &text))
        return err;
    if (errdesc_t *err = parse_text(vmdkfile, text.data(), text.size(), vmdkdesc))
        return err;
    vmdkdesc->file_dev = st.st_dev;
    vmdkdesc->file_ino = st.st_ino;
    return nullptr;
}

errdesc_t *vmdk_parse_buffer(const char *data, size_t size, vmdkdesc_t *vmdkdesc)
{
    return parse_text("(buffer)", data, size, vmdkdesc);
}

void vmdk_free_vmdkdesc(vmdkdesc_t *vmdkdesc)
{
    vmdkdesc->filename = std::string();
    vmdkdesc->parentfilenamehint = std::string();
    vmdkdesc->change_track_path = std::string();
    for (auto &e : vmdkdesc->extentdesc)
        e.reset();
    // The slots are empty now; a count pointing at them would invite a null
    // dereference.
    vmdkdesc->extentdesccount = 0;
}

void vmdk_clear_vmdkdesc(vmdkdesc_t *vmdkdesc)
{
    for (auto &e : vmdkdesc->extentdesc) {
        if (e && e->fd >= 0) {
            close(e->fd);
            e->fd = -1;
        }
    }
    *vmdkdesc = vmdkdesc_t{};
}
