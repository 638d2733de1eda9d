// vmdk unit tests, one section per subject. Every fixture (descriptor texts,
// hosted sparse and COWD extent files) is made at test time.

#include "common/unique_fd.hpp"
#include "support/temp_dir.hpp"
#include "vmdk/datastore_helper.hpp"
#include "vmdk/descriptor_parser.hpp"
#include "vmdk/descriptor_scanner.hpp"
#include "vmdk/extent_header.hpp"
#include "vmdk/graindir.hpp"
#include "vmdk/vmdk_input.hpp"
#include "vmdk/vmdk_open.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <memory>
#include <sstream>
#include <thread>
#include <unistd.h>

// Tests build layouts with designated initializers, leaving the other fields
// at their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using rfs_test::outcome;
using rfs_test::temp_dir;
using rfs_test::write_file;
using namespace std::string_literals;

// A record on the heap (the record is large), closed on release.
using desc_ptr = std::unique_ptr<vmdkdesc_t, void (*)(vmdkdesc_t *)>;
desc_ptr new_desc()
{
    return desc_ptr(new vmdkdesc_t(), [](vmdkdesc_t *d) {
        vmdk_close_extentfiles(d);
        vmdk_close(d);
        delete d;
    });
}

// Expects an error of `number` whose text contains `message`.
void expect_error(errdesc_t *err, int number, const std::string &message)
{
    ASSERT_NE(err, nullptr) << message;
    EXPECT_EQ(err->number, number) << err->string;
    EXPECT_NE(std::string(err->string).find(message), std::string::npos) << err->string;
}

// A grain directory at `gd_sector` with `entries` entries, followed by the
// tables of `tables` (directory index to contents, `gtes` entries each);
// missing indexes get a directory entry of 0.
void put_directory(std::string &img, uint64_t gd_sector, uint64_t capacity, uint64_t grain,
                   uint32_t gtes, const std::map<uint32_t, std::vector<uint32_t>> &tables)
{
    const uint64_t table_sectors = (uint64_t{gtes} * 4 + 511) / 512;
    std::vector<uint32_t> gd((capacity + grain * gtes - 1) / (grain * gtes), 0);
    uint64_t next = gd_sector + (gd.size() * 4 + 511) / 512;
    img.resize(std::max<size_t>(img.size(), next * 512), '\0');
    for (const auto &[index, table] : tables) {
        gd.at(index) = static_cast<uint32_t>(next);
        img.resize((next + table_sectors) * 512, '\0');
        std::memcpy(img.data() + next * 512, table.data(), table.size() * 4);
        next += table_sectors;
    }
    std::memcpy(img.data() + gd_sector * 512, gd.data(), gd.size() * 4);
}

// A hosted sparse extent: header at sector 0, grain directory at sector 1,
// grain tables right after it.
struct sparse_layout {
    uint64_t capacity = 1u << 21, grainsize = 128;
    uint32_t numgtespergt = 512, version = 1;
    std::map<uint32_t, std::vector<uint32_t>> tables;
};
std::string make_sparse_extent(const sparse_layout &l)
{
    const sparsehdr_t h{.magic = SPARSE_MAGIC,
                        .version = l.version,
                        .flags = 3,
                        .capacity = l.capacity,
                        .grainsize = l.grainsize,
                        .numgtespergt = l.numgtespergt,
                        .gdoffset = 1};
    std::string img(EXTENT_HDR_READ_SIZE, '\0'); // every sparse extent's header read
    std::memcpy(img.data(), &h, sizeof h);
    put_directory(img, 1, l.capacity, l.grainsize, l.numgtespergt, l.tables);
    return img;
}

// A COWD extent: 2050-byte header at 0, grain directory at sector 5, grain
// tables of 4096 entries after it.
struct cowd_layout {
    uint32_t numsectors = 1u << 22, version = 1, flags = 3;
};
std::string make_cowd_extent(const cowd_layout &l)
{
    const cowdiskhdr_t h{.magic = COWD_MAGIC,
                         .version = l.version,
                         .flags = l.flags,
                         .numsectors = l.numsectors,
                         .grainsize = 1,
                         .gdoffset = 5,
                         .numgdentries = (l.numsectors + COWD_GTES_PER_GT - 1) / COWD_GTES_PER_GT};
    std::string img(5 * 512, '\0');
    std::memcpy(img.data(), &h, sizeof h);
    put_directory(img, 5, l.numsectors, 1, COWD_GTES_PER_GT, {});
    return img;
}

// A descriptor text of the kind VMware products write, without its disk
// database (VMFS_DESCRIPTOR has one).
struct desc_layout {
    std::string create_type = "vmfs";
    uint32_t cid = 0x1234abcd;
    std::string parent_cid = "ffffffff"; // "" for no parentCID line
    std::string parent_hint;             // "" for no hint line
    std::vector<std::string> extents = {"RW 2048 VMFS \"disk-flat.vmdk\""};
};
std::string make_descriptor(const desc_layout &l)
{
    char cid[16];
    snprintf(cid, sizeof cid, "%08x", l.cid);
    std::string s = "# Disk DescriptorFile\nversion=1\nencoding=\"UTF-8\"\nCID="s + cid + "\n";
    if (!l.parent_cid.empty())
        s += "parentCID=" + l.parent_cid + "\n";
    s += "isNativeSnapshot=\"no\"\ncreateType=\"" + l.create_type + "\"\n";
    if (!l.parent_hint.empty())
        s += "parentFileNameHint=\"" + l.parent_hint + "\"\n";
    s += "# Extent description\n";
    for (const std::string &e : l.extents)
        s += e + "\n";
    return s;
}

using T = vmdk_token_t;
using token = std::pair<T, std::string>;

// Tokens up to and including END or TOO_LONG (whose text is left empty).
std::vector<token> scan(descriptor_scanner &sc)
{
    std::vector<token> v;
    for (T t = sc.next();; t = sc.next()) {
        bool last = t == T::END || t == T::TOO_LONG;
        v.emplace_back(t, last ? "" : std::string(sc.text()));
        if (last)
            return v;
    }
}

// Longest match, tie order, case and invalid characters are covered through
// the parser; these are the cases it does not show.
TEST(DescriptorScanner, TokensItNeverReturnsWhole)
{
    const token end{T::END, ""};
    const std::pair<std::string, std::vector<token>> cases[] = {
        {"12G", {{T::NUMBER, "12"}, {T::LEX_ERROR, "G"}, end}},
        {"ddb\nuuid", {{T::HEXNUMBER, "ddb"}, {T::NEWLINE, "\n"}}},
        {"\"\"", {{T::LEX_ERROR, "\""}, {T::LEX_ERROR, "\""}, end}},
        {"#\n", {{T::LEX_ERROR, "#"}, {T::NEWLINE, "\n"}, end}},
    };
    for (const auto &[input, expected] : cases) {
        descriptor_scanner sc(input.data(), input.size());
        std::vector<token> got = scan(sc);
        got.resize(std::min(got.size(), expected.size()));
        EXPECT_EQ(got, expected) << "input: " << input;
    }
}

TEST(DescriptorScanner, FileWindowKeepsTokensWholeAcrossRefillsAndEndsOnAReadError)
{
    // Tokens straddle every refill boundary of the scanner's window.
    std::string text;
    std::vector<token> expected;
    for (int i = 0; text.size() < 300000; i++) {
        std::string s = "\"name-" + std::to_string(i) + std::string(i % 997, 'x') + "\"";
        text += s + " " + std::to_string(i) + "\n";
        expected.insert(expected.end(),
                        {{T::STRING, s}, {T::NUMBER, std::to_string(i)}, {T::NEWLINE, "\n"}});
    }
    expected.emplace_back(T::END, "");
    temp_dir dir;
    write_file(dir.file("big"), "0123456789" + text);
    unique_fd fd(open(dir.file("big").c_str(), O_RDONLY));
    ASSERT_TRUE(fd);
    descriptor_scanner sc(fd.get(), 10); // starts past a prefix
    EXPECT_EQ(scan(sc), expected);
    EXPECT_EQ(sc.read_error(), 0);

    unique_fd dirfd(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    descriptor_scanner failing(dirfd.get(), 0);
    EXPECT_EQ(failing.next(), T::END);
    EXPECT_EQ(failing.read_error(), EISDIR);
}

const char *const VMFS_DESCRIPTOR =
    "# Disk DescriptorFile\nversion=1\nencoding=\"UTF-8\"\nCID=fffffffe\nparentCID=ffffffff\n"
    "isNativeSnapshot=\"no\"\ncreateType=\"vmfs\"\n\n# Extent description\n"
    "RW 41943040 VMFS \"win2k8-flat.vmdk\"\n\n# The Disk Data Base \n#DDB\n\n"
    "ddb.adapterType = \"lsilogic\"\nddb.deletable = \"true\"\nddb.geometry.cylinders = \"2610\"\n"
    "ddb.geometry.heads = \"255\"\nddb.geometry.sectors = \"63\"\n"
    "ddb.longContentID = \"8b4e1b7d5bbcd0f4b4f1e6c3fffffffe\"\nddb.thinProvisioned = \"1\"\n"
    "ddb.toolsInstallType = \"1\"\nddb.toolsVersion = \"10346\"\n"
    "ddb.uuid = \"60 00 C2 9b 69 2f c9 76-74 c4 07 9e 10 87 3b f9\"\nddb.virtualHWVersion = "
    "\"13\"\n";

struct parse_result {
    desc_ptr desc;
    errdesc_t *err;
};
parse_result parse_text(const std::string &text)
{
    temp_dir dir;
    write_file(dir.file("d.vmdk"), text);
    parse_result r{new_desc(), nullptr};
    r.err = vmdk_parse_file_contents(dir.file("d.vmdk").c_str(), r.desc.get());
    return r;
}

// Every field that differs from a cleared record, in one line.
std::string summary(const vmdkdesc_t &d)
{
    std::ostringstream s;
    auto add = [&s](bool present, const auto &...parts) {
        if (present)
            ((s << parts), ...) << ' ';
    };
    add(d.version, "version=", d.version);
    add(d.cid, "cid=", std::hex, d.cid, std::dec);
    add(d.pcid, "pcid=", std::hex, d.pcid, std::dec);
    add(d.createtype != CT_UNKNOWN, createtype_name(d.createtype));
    add(!d.parentfilenamehint.empty(), "hint=", d.parentfilenamehint);
    add(!d.change_track_path.empty(), "ctk=", d.change_track_path);
    add(d.thin_provisioned, "thin");
    for (uint32_t i = 0; i < d.extentdesccount; i++) {
        const extentdesc_t &e = *d.extentdesc[i];
        add(true, extentmode_name(e.mode) + 3, ' ', e.extentsize, ' ',
            extenttype_name(e.extenttype) + 3, ' ', e.extentname, '@', e.extentoffset);
    }
    const diskdb_t &db = d.diskdb;
    add(db.hwversion, "hw=", db.hwversion);
    add(db.cylinders, "cyl=", db.cylinders);
    add(db.heads, "heads=", db.heads);
    add(db.sectors, "sectors=", db.sectors);
    add(db.adaptertype != AT_IDE, adaptertype_name(db.adaptertype));
    add(db.toolsversion, "tools=", db.toolsversion);
    add(db.uuid[0], "uuid=", db.uuid);
    add(db.longcontentid[0], "lcid=", db.longcontentid);
    std::string out = s.str();
    return out.empty() ? out : out.substr(0, out.size() - 1);
}

void expect_parses(const std::vector<std::pair<std::string, std::string>> &cases)
{
    for (const auto &[text, expected] : cases) {
        parse_result r = parse_text(text);
        EXPECT_EQ(r.err, nullptr) << outcome(r.err) << "\nfor: " << text.substr(0, 200);
        EXPECT_EQ(summary(*r.desc), expected) << "for: " << text.substr(0, 200);
    }
}

void expect_parse_error(const std::string &text, int number, const std::string &message)
{
    SCOPED_TRACE(text.substr(0, 200));
    expect_error(parse_text(text).err, number, message);
}

TEST(DescriptorParser, WhatEachLineStoresAndWhatIsSkipped)
{
    std::string crlf;
    for (const char *c = VMFS_DESCRIPTOR; *c; c++)
        crlf += *c == '\n' ? "\r\n" : std::string(1, *c);
    expect_parses({
        {VMFS_DESCRIPTOR,
         "version=1 cid=fffffffe pcid=ffffffff CT_VMFS thin RW 41943040 VMFS "
         "win2k8-flat.vmdk@0 hw=13 cyl=2610 heads=255 sectors=63 AT_LSILOGIC tools=10346 "
         "uuid=\"60 00 C2 9b 69 2f c9 76-74 c4 07 9e 10 87 3b f9\" "
         "lcid=\"8b4e1b7d5bbcd0f4b4f1e6c3fffffffe\""},
        {crlf, ""},
        // CIDs are hexadecimal whatever their digits, kept to 32 bits.
        {"CID=9e8f7a60\nparentCID=0a1B2c3F\n", "cid=9e8f7a60 pcid=a1b2c3f"},
        {"CID=123456789\nparentCID=ffffffffdeadbeef\n", "cid=23456789 pcid=deadbeef"},
        // Digits alone are a Number; a longer run with hex letters is a Hex
        // number, which the Number lines refuse.
        {"version=0012\nRW 0100 FLAT \"a\"\n", "version=12 RW 100 FLAT a@0"},
        {"version=12ab\nRW 1a FLAT \"a\"\n", ""},
        // A keyword needs no blank after it, and what follows is scanned on
        // its own: "100F" is a Hex number, longer than the Number "100".
        {"RW100 FLAT\"a.vmdk\"7\nversion=3\n", "version=3 RW 100 FLAT a.vmdk@0"},
        {"versionabc=1\nRW100FLAT\"a\"\n", ""},
        // The longest keyword wins.
        {"RW 1 VMFSSPARSE \"a\"\nRW 1 VMFSRDM \"b\"\nRW 1 VMFSRAW \"c\"\nRW 1 VMFS \"d\"\n"
         "RW 1 SESPARSE \"e\"\nRDONLY 1 SPARSE \"f\"\nNOACCESS 1 ZERO \"g\"\n",
         "RW 1 VMFSSPARSE a@0 RW 1 VMFSRDM b@1 RW 1 VMFSRAW c@2 RW 1 VMFS d@3 RW 1 SESPARSE e@4 "
         "RDONLY 1 SPARSE f@5 NOACCESS 1 ZERO g@6"},
        // Keywords ignore case; the dots of ddb keys match any character.
        {"VERSION=2\ncid=abc\nCREATETYPE=\"VMFSSPARSE\"\nrw 5 flat \"x\"\n"
         "DDB_GEOMETRY_HEADS = \"16\"\nddbXuuid = \"u\"\nddb.geometry-sectors = \"9\"\n",
         "version=2 cid=abc CT_VMFS_SPARSE RW 5 FLAT x@0 heads=16 sectors=9 uuid=\"u\""},
        // createType and adapterType take their quoted keywords only.
        {"createType=vmfs\n", ""},
        {"createType=\"sparse\"\n", ""},
        {"createType=\"vmfsPassthroughRawDeviceMap\"\n", "CT_VMFS_PASSTHROUGH_RAW_DEVICE_MAP"},
        {"ddb.adapterType = \"buslogic\"\nddb.adapterType = \"ide\"\n", ""},
        {"ddb.adapterType = \"legacyESX\"\n", "AT_LEGACYESX"},
        // Unquoted geometry; a quoted keyword or number is never a String.
        {"ddb.geometry.cylinders = 2610\nddb.geometry.heads = \"255\"\n", "heads=255"},
        {"RW 1 FLAT \"vmfs\"\nRW 1 FLAT \"123\"\nparentFileNameHint=\"UTF-8\"\n"
         "ddb.uuid = \"42\"\nddb.longContentID = \"\"\n",
         ""},
        {"RW 100 ZERO\nRW 100 ZERO \"z\"\n", "RW 100 ZERO z@0"},
        // "#" right before the newline is an invalid character; a comment
        // swallows everything up to the newline, "\r" included.
        {"version=4 # trailing comment\n#\nCID=5 #\nparentCID=6\n", "version=4 pcid=6"},
        {"# comment with \"quotes\" = and \r\nversion=9\n", "version=9"},
        // Statements that need no newline chain on one line; a fault later on
        // the line skips the statements before it too.
        {"parentFileNameHint=\"/abs/p.vmdk\"ddb.uuid=\"u\" ddb.encoding=\"UTF-8\""
         "ddb.longContentID=\"l\" version=3\nCID=7\n",
         "version=3 cid=7 hint=/abs/p.vmdk uuid=\"u\" lcid=\"l\""},
        {"ddb.uuid=\"u\" junk version=3\nCID=8\n", "cid=8"},
        // Broken lines, a NUL among them, leave the later ones alone.
        {"bogus = \"unterminated\n\"\"\n= = =\nRW 10 FLAT\nversion\nversion=\nddb.uuid =\n"
         "CID=1\r\nabc"s +
             '\0' + "def\nversion=5\nRW 10 FLAT \"ok\"\n",
         "version=5 RW 10 FLAT ok@0"},
        // Extents follow one another whatever offset the line gives; later
        // keys replace earlier ones.
        {"RW 100 FLAT \"a-flat.vmdk\"\nRW 50 FLAT \"b-flat.vmdk\" 0\n"
         "RW 7 FLAT \"/abs/c-flat.vmdk\" 12345\n",
         "RW 100 FLAT a-flat.vmdk@0 RW 50 FLAT b-flat.vmdk@100 RW 7 FLAT /abs/c-flat.vmdk@150"},
        {"RW 17179869184 FLAT \"a\"\nRW 1 FLAT \"b\"\n",
         "RW 17179869184 FLAT a@0 RW 1 FLAT b@17179869184"},
        {"version=1\nversion=2\nparentFileNameHint=\"a\"\nparentFileNameHint=\"b\"\n"
         "ddb.uuid=\"x\"\nddb.uuid=\"y\"\nddb.thinProvisioned = \"1\"\n"
         "ddb.thinProvisioned = \"0\"\nchangeTrackPath=\"c1\"\nchangeTrackPath=\"c2\"\n",
         "version=2 hint=b ctk=\"c2\" uuid=\"y\""},
        // The uuid keeps its quotes and is cut to its 50-byte field.
        {"ddb.uuid = \"" + std::string(60, 'a') + "\"\n", "uuid=\"" + std::string(48, 'a')},
        // Blanks or a comment may follow the last newline, and the statements
        // that need no newline may end the file.
        {"version=1\n  \t", "version=1"},
        {"version=1\n# the end", "version=1"},
        {"ddb.uuid = \"a b\"", "uuid=\"a b\""},
        {"parentFileNameHint=\"p.vmdk\"", "hint=p.vmdk"},
        // A first attempt that fails is retried from byte 512 (after a sparse
        // header) without clearing what it stored.
        {"version=7\n" + std::string(502, 'x') + "ddb.uuid=\"after-header\"",
         "version=7 uuid=\"after-header\""},
        // Tokens of up to 1023 bytes; an opening quote that never closes is
        // no token at all.
        {"RW 8 FLAT \"" + std::string(1021, 'n') + "\"\n",
         "RW 8 FLAT " + std::string(1021, 'n') + "@0"},
        {"#" + std::string(1022, 'c') + "\nversion=1\n", "version=1"},
        {"version=" + std::string(1022, '0') + "7\n", "version=7"},
        {"ddb.uuid = \"" + std::string(200000, 'u') + "\nversion=2\n", "version=2"},
    });
}

// An unfinished last line, one extent more than the table holds and tokens
// longer than 1023 bytes refuse the whole file.
TEST(DescriptorParser, UnfinishedLastLinesTooManyExtentsAndOverlongTokens)
{
    for (const char *text : {"", "   \t", "# only a comment", "version=1", "version=1\nCID=2",
                             "version=1\n#", "version=1\njunk", "version=7\nxxx"})
        expect_parse_error(text, EAGAIN, "cannot parse the input file");
    vmdkdesc_t d;
    expect_error(vmdk_parse_buffer("version=1", 9, &d), EAGAIN, "cannot parse the input file");
    vmdk_free_vmdkdesc(&d);
    expect_error(vmdk_parse_file_contents("/nonexistent/rfs/d.vmdk", &d), ENOENT,
                 "/nonexistent/rfs/d.vmdk");

    std::string text;
    for (int i = 0; i < 1024; i++)
        text += "RW 8 FLAT \"e" + std::to_string(i) + "\"\n";
    parse_result r = parse_text(text);
    ASSERT_EQ(r.err, nullptr) << outcome(r.err);
    EXPECT_EQ(r.desc->extentdesccount, 1024u);
    expect_parse_error(text + "RW 8 FLAT \"one-too-many\"\n", ERR_OVERFLOW,
                       "more than 1024 extents");
    for (const std::string &longer : {
             "RW 8 FLAT \"" + std::string(1022, 'n') + "\"\n",
             "#" + std::string(1023, 'c') + "\nversion=1\n",
             "version=" + std::string(1024, '1') + "\n",
             "ddb.uuid = \"" + std::string(200000, 'u') + "\"\n", // far beyond the window
             "CID=" + std::string(5000, 'f') + "\n",
         })
        expect_parse_error(longer, ERR_OVERFLOW, "token longer than 1023 bytes at line 1");
}

TEST(DescriptorParser, ConcurrentParsesDoNotMixResults)
{
    temp_dir dir;
    std::vector<std::thread> threads;
    std::vector<int> good(4, 0);
    for (uint32_t t = 0; t < 4; t++) {
        std::string path = dir.file("d" + std::to_string(t) + ".vmdk");
        write_file(path, make_descriptor({.cid = 0x1000u + t}));
        threads.emplace_back([&good, path, t] {
            for (int i = 0; i < 200; i++) {
                desc_ptr d = new_desc();
                good[t] += vmdk_parse_file_contents(path.c_str(), d.get()) == nullptr &&
                           d->cid == 0x1000u + t;
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(good, std::vector<int>(4, 200));
}

// Sparse and COWD extents: header checks, grain directory sizes, grain-table
// fills, truncated files and hostile sizes.

// A descriptor in a temporary directory with one extent file per entry.
struct disk_fixture {
    disk_fixture &add_extent(const std::string &type, const std::string &bytes)
    {
        const std::string file = "e" + std::to_string(files_++) + ".vmdk";
        lines_ += "RW 2097152 " + type + " \"" + file + "\"\n";
        write_file(dir.file(file), bytes);
        return *this;
    }
    errdesc_t *open()
    {
        write_file(dir.file("d.vmdk"), "version=1\nCID=1\nparentCID=ffffffff\n" + lines_);
        if (errdesc_t *err = vmdk_open(dir.file("d.vmdk").c_str(), desc.get()))
            return err;
        return vmdk_open_extentfiles(desc.get());
    }

    desc_ptr desc = new_desc();
    temp_dir dir;
    std::string lines_;
    int files_ = 0;
};

TEST(Graindir, DirectorySizesAtTheEdgesOfTheFormula)
{
    auto sparse = [](uint64_t capacity, uint64_t grainsize = 128) {
        return make_sparse_extent({.capacity = capacity, .grainsize = grainsize});
    };
    const struct {
        std::string type, bytes;
        uint32_t capacity, entries, gtes;
    } cases[] = {
        {"SPARSE", sparse(uint64_t{1} << 21), 1u << 21, 32, 512},
        {"SPARSE", sparse((uint64_t{1} << 21) + 1), (1u << 21) + 1, 33, 512},
        {"SPARSE", sparse(0xffffffffu, 8), 0xffffffffu, 1048576, 512},
        {"VMFSSPARSE", make_cowd_extent({}), 1u << 22, 1024, 4096},
        // seSparse deltas are read as COWD too.
        {"SESPARSE", make_cowd_extent({.numsectors = 4096 * 3 + 1}), 4096 * 3 + 1, 4, 4096},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.type + " capacity " + std::to_string(c.capacity));
        disk_fixture f;
        errdesc_t *err = f.add_extent(c.type, c.bytes).open();
        ASSERT_EQ(err, nullptr) << outcome(err);
        const graindir_t &gd = f.desc->extentdesc[0]->graindir;
        EXPECT_EQ(gd.gd_entry_count, c.entries);
        EXPECT_EQ(gd.gt_entry_count, c.entries * c.gtes);
        EXPECT_EQ(gd.capacity, c.capacity);
        EXPECT_EQ(f.desc->gtbuf_count, c.gtes);
    }
}

TEST(Graindir, FillReadsTablesZeroEntriesGiveZerosAndCloseReleases)
{
    disk_fixture f;
    sparse_layout layout;
    layout.tables = {{1, {7, 0, 9}}, {31, std::vector<uint32_t>(512, 0xabcdef01)}};
    errdesc_t *err = f.add_extent("SPARSE", make_sparse_extent(layout)).open();
    ASSERT_EQ(err, nullptr) << outcome(err);
    vmdkdesc_t *d = f.desc.get();
    auto table = [d](size_t n) {
        return std::vector<uint32_t>(d->gtbuf.get(), d->gtbuf.get() + n);
    };
    ASSERT_EQ(vmdk_fill_gtbuf(d, 0, 1), nullptr);
    EXPECT_EQ(table(3), (std::vector<uint32_t>{7, 0, 9}));
    ASSERT_EQ(vmdk_fill_gtbuf(d, 0, 31), nullptr);
    EXPECT_EQ(d->gtbuf[511], 0xabcdef01u);

    // Entry 0 never touches the file: it fills even with the file closed.
    int fd = std::exchange(d->extentdesc[0]->fd, -1);
    ASSERT_EQ(vmdk_fill_gtbuf(d, 0, 0), nullptr);
    d->extentdesc[0]->fd = fd;
    EXPECT_EQ(table(512), std::vector<uint32_t>(512, 0));

    expect_error(vmdk_fill_gtbuf(d, 0, 32), ERR_OUT_OF_RANGE, "grain directory entry 32 of 32");
    expect_error(vmdk_fill_gtbuf(d, 1, 0), ERR_OUT_OF_RANGE, "no extent 1");

    // Closing drops the directories; the buffer lives until it is freed.
    vmdk_close_extentfiles(d);
    EXPECT_EQ(d->extentdesc[0]->graindir.gd_entry, nullptr);
    expect_error(vmdk_fill_gtbuf(d, 0, 1), EINVAL, "no grain directory loaded");
    EXPECT_NE(d->gtbuf, nullptr);
    vmdk_free_gtbuf(d);
    EXPECT_EQ(d->gtbuf, nullptr);

    // A flat first extent has no buffer at all; a later extent may not have
    // wider tables than the first one's.
    disk_fixture flat, wide;
    ASSERT_EQ(flat.add_extent("FLAT", std::string(512, '\0'))
                  .add_extent("SPARSE", make_sparse_extent({}))
                  .open(),
              nullptr);
    EXPECT_EQ(flat.desc->gtbuf, nullptr);
    expect_error(vmdk_fill_gtbuf(flat.desc.get(), 1, 0), EINVAL, "no grain-table buffer");
    ASSERT_EQ(
        wide.add_extent("SPARSE", make_sparse_extent({}))
            .add_extent("SPARSE", make_sparse_extent({.numgtespergt = 1024, .tables = {{0, {5}}}}))
            .open(),
        nullptr);
    expect_error(vmdk_fill_gtbuf(wide.desc.get(), 1, 0), ERR_OUT_OF_RANGE,
                 "grain tables of 1024 entries, the first extent's have 512");
}

TEST(Graindir, BadHeadersAndTruncatedFilesAreRefusedAndCloseTheFiles)
{
    const std::string full = make_sparse_extent({.tables = {{0, std::vector<uint32_t>(512, 3)}}});
    const struct {
        std::string type, bytes;
        int number;
        std::string message;
        bool at_fill = false; // the open succeeds, the first table fill fails
    } cases[] = {
        {"SPARSE", make_cowd_extent({}), EINVAL,
         "e0.vmdk: not a hosted sparse extent (magic 0x44574f43)"},
        {"SPARSE", make_sparse_extent({.version = 2}), EINVAL,
         "e0.vmdk: unsupported hosted sparse extent version 2"},
        {"VMFSSPARSE", make_sparse_extent({}), EINVAL,
         "e0.vmdk: not a COWD extent (magic 0x564d444b)"},
        {"VMFSSPARSE", make_cowd_extent({.version = 0}), EINVAL,
         "e0.vmdk: unsupported COWD extent version 0"},
        {"SESPARSE", make_cowd_extent({.flags = 1}), EINVAL,
         "e0.vmdk: unsupported COWD extent flags 1"},
        // Shorter than the 2050 bytes of every header read.
        {"SPARSE", full.substr(0, 2049), EIO, "e0.vmdk: file ends before the end of its header"},
        // A header that wants a 4 MiB directory.
        {"SPARSE",
         make_sparse_extent({.capacity = 0xffffffffu, .grainsize = 8})
             .substr(0, EXTENT_HDR_READ_SIZE),
         EIO, "file ends before the end of its grain directory"},
        // The directory points past the end of the file.
        {"SPARSE", full.substr(0, full.size() - 1), EIO,
         "e0.vmdk: file ends before the end of its grain table", true},
    };
    for (const auto &c : cases) {
        disk_fixture f;
        errdesc_t *err = f.add_extent(c.type, c.bytes).open();
        if (c.at_fill) {
            ASSERT_EQ(err, nullptr) << outcome(err);
            err = vmdk_fill_gtbuf(f.desc.get(), 0, 0);
        } else {
            EXPECT_EQ(f.desc->extentdesc[0]->fd, -1) << c.message;
        }
        expect_error(err, c.number, c.message);
    }
}

TEST(Graindir, HostileSizesAreCappedBeforeAnyAllocation)
{
    temp_dir dir;
    write_file(dir.file("x"), std::string(4096, '\0'));
    unique_fd fd(open(dir.file("x").c_str(), O_RDONLY));
    graindir_t gd;
    const struct {
        uint32_t capacity, grainsize, gtes;
        const char *message;
    } cases[] = {
        {1000, 0, 512, "invalid grain geometry"},
        {1000, 128, 0, "invalid grain geometry"},
        {1000, 128, VMDK_MAX_GTES_PER_GT + 1, "exceed the limit"},
        {0xffffffffu, 1, 1, "exceeds the limit"},
    };
    for (const auto &c : cases) {
        expect_error(vmdk_read_graindir_common(fd.get(), 512, c.capacity, c.grainsize, c.gtes, &gd),
                     EINVAL, c.message);
        EXPECT_EQ(gd.magic, 0u);
        EXPECT_EQ(gd.gd_entry, nullptr);
    }
    // The limits themselves are allowed.
    EXPECT_EQ(vmdk_read_graindir_common(fd.get(), 512, 1000, 1, VMDK_MAX_GTES_PER_GT, &gd),
              nullptr);
    EXPECT_EQ(gd.gd_entry_count, 1u);
    // A directory the file cannot hold is refused before it is allocated.
    expect_error(vmdk_read_graindir_common(fd.get(), 512, 1u << 30, 1, 512, &gd), EIO,
                 "(8388608 bytes at offset 512, file of 4096 bytes)");
    // A directory offset beyond what a file offset can hold, and a 2 TiB disk
    // whose capacity's low 32 bits would describe an empty disk.
    sparsehdr_t h{
        .capacity = 1000, .grainsize = 8, .numgtespergt = 512, .gdoffset = UINT64_MAX / 256};
    expect_error(vmdk_read_graindir_sparsehdr(fd.get(), &h, &gd), EINVAL, "out of range");
    EXPECT_EQ(gd.magic, 0u);
    h.gdoffset = 1;
    h.capacity = uint64_t{1} << 32;
    expect_error(vmdk_read_graindir_sparsehdr(fd.get(), &h, &gd), EFBIG, "beyond 32 bits");
    EXPECT_EQ(gd.magic, 0u);
}

// Opening disks, extent files and ancestor chains.

// A chain of `depth` snapshot descriptors over a base disk: "d0.vmdk" is the
// base, "dN.vmdk" has "d(N-1).vmdk" as parent and the extent "dN-delta.vmdk".
void write_chain(const temp_dir &dir, int depth)
{
    write_file(dir.file("d0.vmdk"), make_descriptor({.cid = 0x100}));
    for (int i = 1; i <= depth; i++) {
        const std::string n = std::to_string(i);
        char pcid[16];
        snprintf(pcid, sizeof pcid, "%x", 0x100 + i - 1);
        write_file(dir.file("d" + n + ".vmdk"),
                   make_descriptor({.create_type = "vmfsSparse",
                                    .cid = 0x100 + static_cast<uint32_t>(i),
                                    .parent_cid = pcid,
                                    .parent_hint = "d" + std::to_string(i - 1) + ".vmdk",
                                    .extents = {"RW 2048 VMFSSPARSE \"d" + n + "-delta.vmdk\""}}));
    }
}

// Opens `path` and builds its chain; the error is null on success.
errdesc_t *open_chain(const std::string &path, vmdkdesc_t *d)
{
    if (errdesc_t *err = vmdk_open(path.c_str(), d))
        return err;
    return vmdk_get_ancestors(d, 0, &d->vmdk_ancestor_array);
}

int chain_length(const vmdkdesc_t *d)
{
    int n = 0;
    while (d->vmdk_ancestor_array[n])
        n++;
    return n;
}

TEST(VmdkOpen, OpenFillsTheRecordAndAFailedOpenLeavesItCleared)
{
    temp_dir dir;
    write_file(dir.file("vm/disk.vmdk"), make_descriptor({}));
    write_file(dir.file("bad.vmdk"), "version=1\nRW 1 FLAT \"a\"\nCID=1");
    std::string path = dir.file("vm/disk.vmdk");
    desc_ptr d = new_desc();
    ASSERT_EQ(vmdk_open(path.c_str(), d.get()), nullptr);
    EXPECT_EQ(d->magic, VMDK_MAGIC);
    EXPECT_EQ(vmdk_close(d.get()), nullptr);
    EXPECT_EQ(d->magic, 0u);
    EXPECT_TRUE(d->filename.empty());

    // Over an open record, with the bad file's first attempt half stored.
    ASSERT_EQ(vmdk_open(path.c_str(), d.get()), nullptr);
    expect_error(vmdk_open(dir.file("bad.vmdk").c_str(), d.get()), EAGAIN,
                 "cannot parse the input file");
    EXPECT_EQ(d->magic + d->extentdesccount + d->version, 0u);
    EXPECT_TRUE(d->filename.empty());

    // A relative path has "." as its directory.
    char *old = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(dir.file("vm").c_str()), 0);
    errdesc_t *err = vmdk_open("disk.vmdk", d.get());
    EXPECT_EQ(chdir(old), 0);
    free(old);
    ASSERT_EQ(err, nullptr) << outcome(err);
    EXPECT_STREQ(d->dirname, ".");
}

TEST(VmdkOpen, AMissingExtentFileClosesTheOthers)
{
    disk_fixture f;
    for (int i = 0; i < 4; i++)
        f.add_extent("FLAT", std::string(512, '\0'));
    std::filesystem::remove(f.dir.file("e2.vmdk"));
    expect_error(f.open(), ENOENT, f.dir.file("e2.vmdk"));
    for (uint32_t i = 0; i < 4; i++)
        EXPECT_EQ(f.desc->extentdesc[i]->fd, -1) << i;
}

// Parents have their extents described but not opened: their users open and
// close them (the device-mapper table tests open whole chains).
TEST(VmdkChain, ChainRunsToTheBaseParentHintsBrokenChainsAndTheDepthLimitOf128)
{
    temp_dir dir;
    write_chain(dir, 128); // 129 descriptors
    desc_ptr d = new_desc();
    errdesc_t *err = open_chain(dir.file("d127.vmdk"), d.get());
    ASSERT_EQ(err, nullptr) << outcome(err);
    ASSERT_EQ(chain_length(d.get()), 128);
    vmdkdesc_t **chain = d->vmdk_ancestor_array.get();
    EXPECT_EQ(chain[0], d.get());
    EXPECT_EQ(chain[1]->filename, dir.file("d126.vmdk"));
    EXPECT_EQ(chain[1]->extentdesc[0]->fd, -1);
    EXPECT_EQ(chain[127]->cid, 0x100u);
    EXPECT_EQ(chain[127]->pcid, VMDK_NO_PARENT_CID);
    EXPECT_EQ(vmdk_close(d.get()), nullptr); // releases the chain too
    EXPECT_EQ(d->vmdk_ancestor_array, nullptr);

    const std::pair<const char *, desc_layout> disks[] = {
        {"base/b.vmdk", {.cid = 1}},
        {"snap/rel.vmdk", {.cid = 2, .parent_cid = "1", .parent_hint = "../base/b.vmdk"}},
        {"abs.vmdk", {.cid = 3, .parent_cid = "1", .parent_hint = dir.file("base/b.vmdk")}},
        {"nopcid.vmdk", {.parent_cid = "", .parent_hint = "x"}},
        {"nohint.vmdk", {.parent_cid = "5"}},
        {"broken.vmdk", {.parent_cid = "1", .parent_hint = "gone"}},
        {"child.vmdk", {.parent_cid = "1", .parent_hint = "nopcid.vmdk"}},
    };
    for (const auto &[name, layout] : disks)
        write_file(dir.file(name), make_descriptor(layout));
    auto corrupted = [&dir](const char *name, int depth) {
        return "VMDK descriptor for " + dir.file(name) + " (" + std::to_string(depth) +
               ") is corrupted";
    };
    const struct {
        const char *disk;
        int number; // 0: the chain opens, `text` names the parent
        std::string text;
    } cases[] = {
        {"snap/rel.vmdk", 0, dir.file("snap/../base/b.vmdk")},
        {"abs.vmdk", 0, dir.file("base/b.vmdk")},
        {"broken.vmdk", ENOENT, dir.file("gone")},
        {"nopcid.vmdk", EBADFD, corrupted("nopcid.vmdk", 0)},
        {"nohint.vmdk", EBADFD, corrupted("nohint.vmdk", 0)},
        // Deeper down, the depth of the corrupted one is named.
        {"child.vmdk", EBADFD, corrupted("nopcid.vmdk", 1)},
        {"d128.vmdk", EAGAIN,
         "Length of VMDK ancestors chain for " + dir.file("d0.vmdk") +
             " has reached the limit (128)"},
    };
    for (const auto &c : cases) {
        d = new_desc();
        err = open_chain(dir.file(c.disk), d.get());
        if (c.number == 0) {
            ASSERT_EQ(err, nullptr) << c.disk << ": " << outcome(err);
            ASSERT_EQ(chain_length(d.get()), 2);
            EXPECT_EQ(d->vmdk_ancestor_array[1]->filename, c.text);
            continue;
        }
        expect_error(err, c.number, c.text);
        EXPECT_EQ(d->vmdk_ancestor_array, nullptr) << c.disk;
    }
    desc_ptr closed = new_desc();
    EXPECT_NE(vmdk_get_ancestors(closed.get(), 0, &closed->vmdk_ancestor_array), nullptr);
}

// A backup may name anything: special files, files outside the tree the
// view was opened from, chains that loop, descriptors of any size. Each is
// refused at open, before any device could be made, and none blocks.
TEST(VmdkChain, HostileNamesAreRefusedWithAClearError)
{
    temp_dir dir;
    const std::string tree = dir.file("tree");
    write_file(dir.file("outside/o.vmdk"), make_descriptor({.cid = 9}));
    write_file(dir.file("outside/o-flat.vmdk"), std::string(512, '\0'));
    write_file(dir.file("tree/base-flat.vmdk"), std::string(512, '\0'));
    const std::pair<const char *, desc_layout> disks[] = {
        {"base.vmdk", {.cid = 1, .extents = {"RW 1 FLAT \"base-flat.vmdk\""}}},
        {"dev.vmdk", {.cid = 2, .parent_cid = "1", .parent_hint = "/dev/zero"}},
        {"fifo.vmdk", {.cid = 3, .parent_cid = "1", .parent_hint = "p.fifo"}},
        {"loop-a.vmdk", {.cid = 4, .parent_cid = "1", .parent_hint = "loop-b.vmdk"}},
        {"loop-b.vmdk", {.cid = 5, .parent_cid = "1", .parent_hint = "loop-a.vmdk"}},
        {"self.vmdk", {.cid = 6, .parent_cid = "1", .parent_hint = "self.vmdk"}},
        {"up.vmdk",
         {.cid = 7,
          .parent_cid = "1",
          .parent_hint = "../outside/o.vmdk",
          .extents = {"RW 1 FLAT \"base-flat.vmdk\""}}},
        {"link.vmdk", {.cid = 8, .parent_cid = "1", .parent_hint = "o-link.vmdk"}},
        {"ext-up.vmdk", {.cid = 10, .extents = {"RW 1 FLAT \"../outside/o-flat.vmdk\""}}},
        {"ext-abs.vmdk",
         {.cid = 11, .extents = {"RW 1 FLAT \"" + dir.file("outside/o-flat.vmdk") + "\""}}},
        {"ext-dev.vmdk", {.cid = 12, .extents = {"RW 1 FLAT \"/dev/zero\""}}},
    };
    for (const auto &[name, layout] : disks)
        write_file(dir.file("tree/"s + name), make_descriptor(layout));
    ASSERT_EQ(mkfifo(dir.file("tree/p.fifo").c_str(), 0600), 0);
    std::filesystem::create_symlink(dir.file("outside/o.vmdk"), dir.file("tree/o-link.vmdk"));
    // Larger than any descriptor: refused unread (a regular 2 MiB text),
    // unless it is a hosted sparse extent whose header bounds the descriptor
    // embedded after it.
    write_file(dir.file("tree/big.vmdk"),
               make_descriptor({.cid = 13}) + std::string(VMDK_DESCRIPTOR_MAX, '#'));
    for (uint64_t desc_sectors : {uint64_t{20}, uint64_t{VMDK_DESCRIPTOR_MAX / 512}}) {
        sparsehdr_t h{
            .magic = SPARSE_MAGIC, .version = 1, .descoffset = 1, .descsize = desc_sectors};
        std::string img(reinterpret_cast<const char *>(&h), sizeof h);
        img.resize(512, '\0');
        img += make_descriptor({.cid = 14, .extents = {"RW 1 FLAT \"base-flat.vmdk\""}});
        img.resize(2 * VMDK_DESCRIPTOR_MAX, '\0');
        write_file(dir.file(desc_sectors == 20 ? "tree/sparse.vmdk" : "tree/sparse-big.vmdk"), img);
    }

    const struct {
        const char *disk;
        bool rooted; // opened with the tree as containment root
        int number;  // 0: opens with its chain and extents
        std::string text;
    } cases[] = {
        {"base.vmdk", true, 0, ""},
        {"dev.vmdk", false, EINVAL, "/dev/zero: not a regular file"},
        {"dev.vmdk", true, EPERM, "outside " + tree},
        {"fifo.vmdk", false, EINVAL, "p.fifo: not a regular file"},
        {"loop-a.vmdk", false, ELOOP, "is already in its chain"},
        {"self.vmdk", true, ELOOP, "is already in its chain"},
        {"up.vmdk", false, 0, ""}, // an operator may name any file
        {"up.vmdk", true, EPERM, "outside " + tree},
        {"link.vmdk", true, EPERM, "resolves to " + dir.file("outside/o.vmdk")},
        {"ext-up.vmdk", true, EPERM, "outside " + tree},
        {"ext-abs.vmdk", true, EPERM, "outside " + tree},
        {"ext-dev.vmdk", false, EINVAL, "/dev/zero: not a regular file"},
        {"big.vmdk", false, EFBIG, "descriptor file of"},
        {"sparse.vmdk", true, 0, ""},
        {"sparse-big.vmdk", false, EFBIG, "no embedded descriptor within that"},
        {"p.fifo", false, EINVAL, "not a regular file"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.disk + " rooted "s + (c.rooted ? "yes" : "no"));
        desc_ptr d = new_desc();
        const std::string path = dir.file("tree/"s + c.disk);
        errdesc_t *err = vmdk_open(path.c_str(), d.get(), c.rooted ? tree.c_str() : nullptr);
        if (!err)
            err = vmdk_get_ancestors(d.get(), 0, &d->vmdk_ancestor_array);
        if (!err)
            err = vmdk_open_extentfiles(d.get());
        if (c.number == 0) {
            EXPECT_EQ(err, nullptr) << outcome(err);
            continue;
        }
        expect_error(err, c.number, c.text);
        if (!std::string_view(c.disk).starts_with("ext-")) { // chain refusals keep no chain
            EXPECT_EQ(d->vmdk_ancestor_array, nullptr);
        }
    }
}

// Datastore paths and the preference for the direct view, over a private
// root so that nothing is written under the real "/vmfs" trees.
TEST(DatastoreHelper, PathsUnderTheFixedMountPointsAndOpenPrefersTheDirectView)
{
    for (const char *path : {"/vmfs/volumes/ds1/vm/disk.vmdk", "/vmfs/volumes/"})
        EXPECT_TRUE(is_datastore_fs_path(path)) << path;
    for (const char *path : {"/vmfs/volumes", "/vmfs/volumesX/ds1", "/vmfs.direct/volumes/ds1/x",
                             "/scratch/vm/disk.vmdk"})
        EXPECT_FALSE(is_datastore_fs_path(path)) << path;

    const std::pair<const char *, const char *> splits[] = {
        {"/vmfs/volumes//ds1/vm/sub/disk.vmdk", "ds1|vm/sub|disk.vmdk"},
        {"/vmfs.direct/volumes/ds2/disk.vmdk", "ds2||disk.vmdk"},
        {"/vmfs/volumes/ds3", "ds3||"},
    };
    std::string ds, folder, file;
    for (const auto &[path, parts] : splits) {
        ASSERT_EQ(parse_datastore_path(path, &ds, &folder, &file), nullptr) << path;
        EXPECT_EQ(ds + "|" + folder + "|" + file, parts);
    }
    const char *rest = "unchanged";
    expect_error(remove_datastore_mount_point("/scratch/d.vmdk", &rest), EINVAL,
                 "Invalid datastore path /scratch/d.vmdk");
    EXPECT_EQ(rest, nullptr);
    EXPECT_NE(parse_datastore_path("/elsewhere/ds", &ds, nullptr, nullptr), nullptr);
    EXPECT_EQ(get_datastore_mount_point("rfs-test-no-such-datastore"), "/vmfs/volumes");

    temp_dir root;
    const std::string direct = root.file("vmfs.direct/volumes"), fs = root.file("vmfs/volumes");
    const datastore_table_t table{{direct.c_str(), fs.c_str()}};
    for (const std::string &path : {fs + "/ds1/vm/disk.vmdk", direct + "/ds1/vm/disk.vmdk",
                                    fs + "/ds2/vm/disk.vmdk", root.file("other/disk.vmdk")})
        write_file(path, make_descriptor({}));
    write_file(direct + "/notadir", "x");

    EXPECT_EQ(get_datastore_mount_point_in(table, "ds1"), direct);
    for (const char *ds : {"ds2", "notadir", "nowhere"})
        EXPECT_EQ(get_datastore_mount_point_in(table, ds), fs) << ds;

    const struct {
        std::string path, read;
        tol_bool_t direct;
    } cases[] = {
        {fs + "/ds1/vm/disk.vmdk", direct + "/ds1/vm/disk.vmdk", TOL_TRUE},
        {fs + "/ds2/vm/disk.vmdk", fs + "/ds2/vm/disk.vmdk", TOL_FALSE},
        {root.file("other/disk.vmdk"), root.file("other/disk.vmdk"), TOL_TRUE},
    };
    for (const auto &c : cases) {
        desc_ptr d = new_desc();
        ASSERT_EQ(vmdk_open_in(table, c.path.c_str(), d.get()), nullptr) << c.path;
        EXPECT_EQ(d->filename, c.read);
        EXPECT_STREQ(d->dirname, std::filesystem::path(c.read).parent_path().c_str());
        EXPECT_EQ(d->datastore_direct, c.direct) << c.path;
    }

    // The view is chosen per datastore, not per file: a disk missing under
    // the direct view fails rather than falling back.
    unlink((direct + "/ds1/vm/disk.vmdk").c_str());
    desc_ptr d = new_desc();
    expect_error(vmdk_open_in(table, (fs + "/ds1/vm/disk.vmdk").c_str(), d.get()), ENOENT,
                 direct + "/ds1/vm/disk.vmdk");
}
