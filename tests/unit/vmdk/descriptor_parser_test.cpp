// The descriptor language as the parser accepts it, and what each line stores.

#include "vmdk_fixtures.hpp"

#include "vmdk/descriptor_parser.hpp"

#include <cerrno>
#include <cstring>
#include <sstream>
#include <thread>

using namespace vmdk_test;
using namespace std::string_literals;

namespace
{

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

// Parses `text` as a descriptor file; the error is null on success.
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

struct parse_case {
    std::string text, expected; // expected summary()
};

void expect_parses(const std::vector<parse_case> &cases)
{
    for (const parse_case &c : cases) {
        parse_result r = parse_text(c.text);
        EXPECT_EQ(r.err, nullptr) << error_text(r.err) << "\nfor: " << c.text.substr(0, 200);
        EXPECT_EQ(summary(*r.desc), c.expected) << "for: " << c.text.substr(0, 200);
    }
}

void expect_parse_error(const std::string &text, int number, const std::string &message)
{
    SCOPED_TRACE(text.substr(0, 200));
    expect_error(parse_text(text).err, number, message);
}

} // namespace

TEST(DescriptorParser, VmfsDescriptorStoresEveryValueAndCrlfStoresNothing)
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
    });
}

TEST(DescriptorParser, NumbersKeywordsAndTheirTies)
{
    expect_parses({
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
    });
}

TEST(DescriptorParser, LinesOfTheWrongShapeAreSkippedWhole)
{
    expect_parses({
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
    });
}

TEST(DescriptorParser, ExtentOffsetsAndRepeatedKeys)
{
    expect_parses({
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
    });
}

TEST(DescriptorParser, FinalLineRuleAndTheSecondAttemptAtByte512)
{
    for (const char *text : {"", "   \t", "# only a comment", "version=1", "version=1\nCID=2",
                             "version=1\n#", "version=1\njunk", "version=7\nxxx"})
        expect_parse_error(text, EAGAIN, "cannot parse the input file");
    // Blanks or a comment may follow the last newline, and the statements
    // that need no newline may end the file.
    expect_parses({
        {"version=1\n  \t", "version=1"},
        {"version=1\n# the end", "version=1"},
        {"ddb.uuid = \"a b\"", "uuid=\"a b\""},
        {"parentFileNameHint=\"p.vmdk\"", "hint=p.vmdk"},
        // A first attempt that fails is retried from byte 512 (after a sparse
        // header) without clearing what it stored.
        {"version=7\n" + std::string(502, 'x') + "ddb.uuid=\"after-header\"",
         "version=7 uuid=\"after-header\""},
    });
}

TEST(DescriptorParser, ThousandTwentyFourExtentsAndNoMore)
{
    std::string text;
    for (int i = 0; i < 1024; i++)
        text += "RW 8 FLAT \"e" + std::to_string(i) + "\"\n";
    parse_result r = parse_text(text);
    ASSERT_EQ(r.err, nullptr) << error_text(r.err);
    ASSERT_EQ(r.desc->extentdesccount, 1024u);
    EXPECT_EQ(r.desc->extentdesc[1023]->extentoffset, 1023u * 8);
    expect_parse_error(text + "RW 8 FLAT \"one-too-many\"\n", ERR_OVERFLOW,
                       "more than 1024 extents");
}

TEST(DescriptorParser, TokensOfUpTo1023BytesAndLonger)
{
    expect_parses({
        {"RW 8 FLAT \"" + std::string(1021, 'n') + "\"\n",
         "RW 8 FLAT " + std::string(1021, 'n') + "@0"},
        {"#" + std::string(1022, 'c') + "\nversion=1\n", "version=1"},
        {"version=" + std::string(1022, '0') + "7\n", "version=7"},
        // An opening quote that never closes is no token at all.
        {"ddb.uuid = \"" + std::string(200000, 'u') + "\nversion=2\n", "version=2"},
    });
    for (const std::string &text : {
             "RW 8 FLAT \"" + std::string(1022, 'n') + "\"\n",
             "#" + std::string(1023, 'c') + "\nversion=1\n",
             "version=" + std::string(1024, '1') + "\n",
             "ddb.uuid = \"" + std::string(200000, 'u') + "\"\n", // far beyond the window
             "CID=" + std::string(5000, 'f') + "\n",
         })
        expect_parse_error(text, ERR_OVERFLOW, "token longer than 1023 bytes at line 1");
}

TEST(DescriptorParser, BufferParseAndFileErrors)
{
    vmdkdesc_t d;
    expect_error(vmdk_parse_buffer("version=1", 9, &d), EAGAIN, "cannot parse the input file");
    vmdk_free_vmdkdesc(&d);
    expect_error(vmdk_parse_file_contents("/nonexistent/rfs/d.vmdk", &d), ENOENT,
                 "/nonexistent/rfs/d.vmdk");
}

TEST(DescriptorParser, ConcurrentParsesDoNotMixResults)
{
    temp_dir dir;
    std::vector<std::thread> threads;
    std::vector<int> good(4, 0);
    for (uint32_t t = 0; t < 4; t++) {
        const std::string n = std::to_string(t);
        std::string path = dir.file("d" + n + ".vmdk");
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
