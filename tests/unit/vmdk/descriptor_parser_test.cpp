// The descriptor language as the parser accepts it, and what each line stores.

#include "vmdk_fixtures.hpp"

#include "common/logging.hpp"
#include "vmdk/descriptor_parser.hpp"

#include <cerrno>
#include <thread>

using namespace vmdk_test;

namespace {

const char *const VMFS_DESCRIPTOR = "# Disk DescriptorFile\n"
                                    "version=1\n"
                                    "encoding=\"UTF-8\"\n"
                                    "CID=fffffffe\n"
                                    "parentCID=ffffffff\n"
                                    "isNativeSnapshot=\"no\"\n"
                                    "createType=\"vmfs\"\n"
                                    "\n"
                                    "# Extent description\n"
                                    "RW 41943040 VMFS \"win2k8-flat.vmdk\"\n"
                                    "\n"
                                    "# The Disk Data Base \n"
                                    "#DDB\n"
                                    "\n"
                                    "ddb.adapterType = \"lsilogic\"\n"
                                    "ddb.deletable = \"true\"\n"
                                    "ddb.geometry.cylinders = \"2610\"\n"
                                    "ddb.geometry.heads = \"255\"\n"
                                    "ddb.geometry.sectors = \"63\"\n"
                                    "ddb.longContentID = \"8b4e1b7d5bbcd0f4b4f1e6c3fffffffe\"\n"
                                    "ddb.thinProvisioned = \"1\"\n"
                                    "ddb.toolsInstallType = \"1\"\n"
                                    "ddb.toolsVersion = \"10346\"\n"
                                    "ddb.uuid = \"60 00 C2 9b 69 2f c9 76-74 c4 07 9e 10 87 3b f9\"\n"
                                    "ddb.virtualHWVersion = \"13\"\n";

// Parses and expects success.
desc_ptr parse_ok(const std::string &text)
{
    parse_result r = parse_text(text);
    EXPECT_EQ(r.err, nullptr) << error_text(r.err) << "\nfor:\n" << text;
    return std::move(r.desc);
}

void expect_parse_failure(const std::string &text)
{
    parse_result r = parse_text(text);
    ASSERT_NE(r.err, nullptr) << text;
    EXPECT_EQ(r.err->number, EAGAIN);
    EXPECT_STREQ(r.err->string, "cannot parse the input file");
}

} // namespace

TEST(DescriptorParser, VmfsDescriptorStoresEveryValueAndSkipsUnknownKeys)
{
    desc_ptr d = parse_ok(VMFS_DESCRIPTOR);
    EXPECT_EQ(d->magic, 0u);
    EXPECT_EQ(d->version, 1u);
    EXPECT_EQ(d->encoding, EN_UTF8);
    EXPECT_EQ(d->cid, 0xfffffffeu);
    EXPECT_EQ(d->pcid, 0xffffffffu);
    EXPECT_EQ(d->createtype, CT_VMFS);
    EXPECT_TRUE(d->parentfilenamehint.empty());
    ASSERT_EQ(d->extentdesccount, 1u);
    const extentdesc_t &e = *d->extentdesc[0];
    EXPECT_EQ(e.mode, EM_RW);
    EXPECT_EQ(e.extentsize, 41943040u);
    EXPECT_EQ(e.extenttype, ET_VMFS);
    EXPECT_STREQ(e.extentname, "win2k8-flat.vmdk");
    EXPECT_EQ(e.extentoffset, 0u);
    EXPECT_EQ(e.fd, -1);
    EXPECT_EQ(d->extentdesc[1], nullptr);
    EXPECT_EQ(d->diskdb.adaptertype, AT_LSILOGIC);
    EXPECT_EQ(d->diskdb.cylinders, 2610u);
    EXPECT_EQ(d->diskdb.heads, 255u);
    EXPECT_EQ(d->diskdb.sectors, 63u);
    EXPECT_EQ(d->diskdb.hwversion, 13u);
    EXPECT_EQ(d->diskdb.toolsversion, 10346u);
    EXPECT_STREQ(d->diskdb.longcontentid, "\"8b4e1b7d5bbcd0f4b4f1e6c3fffffffe\"");
    EXPECT_STREQ(d->diskdb.uuid, "\"60 00 C2 9b 69 2f c9 76-74 c4 07 9e 10 87 3b f9\"");
    EXPECT_EQ(d->thin_provisioned, TOL_TRUE);
}

TEST(DescriptorParser, CidIsHexadecimalWhateverItsDigits)
{
    desc_ptr d = parse_ok("CID=12345678\nparentCID=0a1B2c3d\n");
    EXPECT_EQ(d->cid, 0x12345678u);
    EXPECT_EQ(d->pcid, 0x0a1b2c3du);
    // Kept to 32 bits.
    d = parse_ok("CID=123456789\nparentCID=ffffffffdeadbeef\n");
    EXPECT_EQ(d->cid, 0x23456789u);
    EXPECT_EQ(d->pcid, 0xdeadbeefu);
}

TEST(DescriptorParser, NumberHexAndKeywordTies)
{
    // Digits alone are a Number: accepted where a Number is required.
    desc_ptr d = parse_ok("version=0012\nRW 0100 FLAT \"a\"\n");
    EXPECT_EQ(d->version, 12u);
    ASSERT_EQ(d->extentdesccount, 1u);
    EXPECT_EQ(d->extentdesc[0]->extentsize, 100u);
    // A longer run with hex letters is a Hex number, which those lines refuse.
    d = parse_ok("version=12ab\nRW 1a FLAT \"a\"\n");
    EXPECT_EQ(d->version, 0u);
    EXPECT_EQ(d->extentdesccount, 0u);
    // A keyword is recognised whatever follows it: no blank is needed...
    d = parse_ok("RW100 FLAT\"a.vmdk\"7\nversion=3\n");
    ASSERT_EQ(d->extentdesccount, 1u);
    EXPECT_EQ(d->extentdesc[0]->extentsize, 100u);
    EXPECT_EQ(d->extentdesc[0]->extenttype, ET_FLAT);
    EXPECT_EQ(d->version, 3u);
    // ...and what follows it is scanned on its own: "versionabc" is the key
    // and a Hex number, so the line is skipped; in "RW100FLAT", "100F" is a
    // Hex number, longer than the Number "100".
    d = parse_ok("versionabc=1\nRW100FLAT\"a\"\n");
    EXPECT_EQ(d->version, 0u);
    EXPECT_EQ(d->extentdesccount, 0u);
}

TEST(DescriptorParser, LongestKeywordWins)
{
    desc_ptr d = parse_ok("RW 1 VMFSSPARSE \"a\"\nRW 1 VMFSRDM \"b\"\nRW 1 VMFSRAW \"c\"\n"
                          "RW 1 VMFS \"d\"\nRW 1 SESPARSE \"e\"\nRDONLY 1 SPARSE \"f\"\n"
                          "NOACCESS 1 ZERO \"g\"\n");
    ASSERT_EQ(d->extentdesccount, 7u);
    const extenttype_t types[] = {ET_VMFSSPARSE, ET_VMFSRDM, ET_VMFSRAW, ET_VMFS,
                                  ET_SESPARSE,   ET_SPARSE,  ET_ZERO};
    for (uint32_t i = 0; i < 7; i++)
        EXPECT_EQ(d->extentdesc[i]->extenttype, types[i]) << i;
    EXPECT_EQ(d->extentdesc[5]->mode, EM_RDONLY);
    EXPECT_EQ(d->extentdesc[6]->mode, EM_NOACCESS);

    // The bios geometry keys are longer than the plain ones and store nothing.
    d = parse_ok("ddb.geometry.biosSectors = \"17\"\nddb.geometry.biosHeads = \"18\"\n"
                 "ddb.geometry.biosCylinders = \"19\"\n");
    EXPECT_EQ(d->diskdb.sectors, 0u);
    EXPECT_EQ(d->diskdb.heads, 0u);
    EXPECT_EQ(d->diskdb.cylinders, 0u);
    // A known key followed by more letters is that key and a bad rest.
    d = parse_ok("createTypes=\"vmfs\"\nparentCIDx=1\n");
    EXPECT_EQ(d->createtype, CT_UNKNOWN);
    EXPECT_EQ(d->pcid, 0u);
}

TEST(DescriptorParser, KeywordsIgnoreCaseAndDdbDotsMatchAnyCharacter)
{
    desc_ptr d = parse_ok("VERSION=2\ncid=abc\nCREATETYPE=\"VMFSSPARSE\"\nrw 5 flat \"x\"\n"
                          "DDB_GEOMETRY_HEADS = \"16\"\nddbXuuid = \"u\"\nddb.geometry-sectors = \"9\"\n");
    EXPECT_EQ(d->version, 2u);
    EXPECT_EQ(d->cid, 0xabcu);
    EXPECT_EQ(d->createtype, CT_VMFS_SPARSE);
    ASSERT_EQ(d->extentdesccount, 1u);
    EXPECT_EQ(d->diskdb.heads, 16u);
    EXPECT_EQ(d->diskdb.sectors, 9u);
    EXPECT_STREQ(d->diskdb.uuid, "\"u\"");
    // A create type without quotes is skipped.
    d = parse_ok("createType=vmfs\n");
    EXPECT_EQ(d->createtype, CT_UNKNOWN);
}

TEST(DescriptorParser, EveryCreateAndAdapterType)
{
    const std::pair<const char *, createtype_t> types[] = {
        {"monolithicSparse", CT_MONOLITHIC_SPARSE},
        {"vmfsSparse", CT_VMFS_SPARSE},
        {"seSparse", CT_SE_SPARSE},
        {"monolithicFlat", CT_MONOLITHIC_FLAT},
        {"vmfs", CT_VMFS},
        {"twoGbMaxExtentSparse", CT_TWOGB_MAX_EXTENT_SPARSE},
        {"twoGbMaxExtentFlat", CT_TWOGB_MAX_EXTENT_FLAT},
        {"fullDevice", CT_FULL_DEVICE},
        {"vmfsRaw", CT_VMFS_RAW},
        {"partitionedDevice", CT_PARTITIONED_DEVICE},
        {"vmfsRawDeviceMap", CT_VMFS_RAW_DEVICE_MAP},
        {"vmfsPassthroughRawDeviceMap", CT_VMFS_PASSTHROUGH_RAW_DEVICE_MAP},
        {"streamOptimized", CT_STREAM_OPTIMIZED},
    };
    for (const auto &[text, value] : types) {
        desc_ptr d = parse_ok(std::string("createType=\"") + text + "\"\n");
        EXPECT_EQ(d->createtype, value) << text;
    }
    const std::pair<const char *, adaptertype_t> adapters[] = {
        {"ide", AT_IDE}, {"buslogic", AT_BUSLOGIC}, {"lsilogic", AT_LSILOGIC}, {"legacyESX", AT_LEGACYESX}};
    for (const auto &[text, value] : adapters) {
        desc_ptr d = parse_ok(std::string("ddb.adapterType = \"buslogic\"\nddb.adapterType = \"") +
                              text + "\"\n");
        EXPECT_EQ(d->diskdb.adaptertype, value) << text;
    }
    // Unknown adapter: skipped, the field keeps its value.
    desc_ptr d = parse_ok("ddb.adapterType = \"pvscsi\"\n");
    EXPECT_EQ(d->diskdb.adaptertype, AT_IDE);
    d = parse_ok("createType=\"sparse\"\n");
    EXPECT_EQ(d->createtype, CT_UNKNOWN);
}

TEST(DescriptorParser, QuotedValuesOfTheWrongKindSkipTheirLine)
{
    // Unquoted geometry: skipped; quoted: stored.
    desc_ptr d = parse_ok("ddb.geometry.cylinders = 2610\nddb.geometry.heads = \"255\"\n");
    EXPECT_EQ(d->diskdb.cylinders, 0u);
    EXPECT_EQ(d->diskdb.heads, 255u);
    // A quoted keyword or quoted number is never a String.
    d = parse_ok("RW 1 FLAT \"vmfs\"\nRW 1 FLAT \"123\"\nparentFileNameHint=\"UTF-8\"\n"
                 "ddb.uuid = \"42\"\nddb.longContentID = \"\"\n");
    EXPECT_EQ(d->extentdesccount, 0u);
    EXPECT_TRUE(d->parentfilenamehint.empty());
    EXPECT_STREQ(d->diskdb.uuid, "");
    EXPECT_STREQ(d->diskdb.longcontentid, "");
    // An encoding other than UTF-8 is skipped.
    d = parse_ok("encoding=\"windows-1252\"\nversion=1\n");
    EXPECT_EQ(d->version, 1u);
    // A ZERO extent must name a file.
    d = parse_ok("RW 100 ZERO\nRW 100 ZERO \"z\"\n");
    ASSERT_EQ(d->extentdesccount, 1u);
    EXPECT_EQ(d->extentdesc[0]->extenttype, ET_ZERO);
}

TEST(DescriptorParser, ExtentOffsetsAreRunningSums)
{
    desc_ptr d = parse_ok("RW 100 FLAT \"a-flat.vmdk\"\nRW 50 FLAT \"b-flat.vmdk\" 0\n"
                          "RW 7 FLAT \"/abs/c-flat.vmdk\" 12345\n");
    ASSERT_EQ(d->extentdesccount, 3u);
    EXPECT_EQ(d->extentdesc[0]->extentoffset, 0u);
    EXPECT_EQ(d->extentdesc[1]->extentoffset, 100u);
    EXPECT_EQ(d->extentdesc[2]->extentoffset, 150u);
    EXPECT_STREQ(d->extentdesc[2]->extentname, "/abs/c-flat.vmdk");
    // Two trailing numbers are one too many.
    d = parse_ok("RW 100 FLAT \"a\" 0 0\n");
    EXPECT_EQ(d->extentdesccount, 0u);
    // Extent sizes are 64-bit.
    d = parse_ok("RW 17179869184 FLAT \"a\"\nRW 1 FLAT \"b\"\n");
    EXPECT_EQ(d->extentdesc[0]->extentsize, 17179869184u);
    EXPECT_EQ(d->extentdesc[1]->extentoffset, 17179869184u);
}

TEST(DescriptorParser, CrlfFileParsesAndStoresNothing)
{
    std::string text = VMFS_DESCRIPTOR;
    std::string crlf;
    for (char c : text) {
        if (c == '\n')
            crlf += '\r';
        crlf += c;
    }
    desc_ptr d = parse_ok(crlf);
    EXPECT_EQ(d->version, 0u);
    EXPECT_EQ(d->cid, 0u);
    EXPECT_EQ(d->createtype, CT_UNKNOWN);
    EXPECT_EQ(d->extentdesccount, 0u);
    EXPECT_STREQ(d->diskdb.uuid, "");
}

TEST(DescriptorParser, CommentsAndTheHashBeforeNewline)
{
    desc_ptr d = parse_ok("version=4 # trailing comment\n#\nCID=5 #\nparentCID=6\n");
    EXPECT_EQ(d->version, 4u);
    EXPECT_EQ(d->cid, 0u); // "#" right before the newline is an invalid character
    EXPECT_EQ(d->pcid, 6u);
    // A comment swallows everything up to the newline, "\r" included.
    d = parse_ok("# comment with \"quotes\" = and \r\nversion=9\n");
    EXPECT_EQ(d->version, 9u);
}

TEST(DescriptorParser, FinalLineRule)
{
    expect_parse_failure("");
    expect_parse_failure("   \t");
    expect_parse_failure("# only a comment");
    expect_parse_failure("version=1");
    expect_parse_failure("version=1\nCID=2");
    expect_parse_failure("version=1\n#");
    expect_parse_failure("version=1\njunk");
    // Blanks, tabs or a comment after the last newline are fine.
    EXPECT_EQ(parse_ok("version=1\n  \t")->version, 1u);
    EXPECT_EQ(parse_ok("version=1\n# the end")->version, 1u);
    EXPECT_EQ(parse_ok("\n")->version, 0u);
    // The statements that need no newline may end the file.
    EXPECT_STREQ(parse_ok("ddb.uuid = \"a b\"")->diskdb.uuid, "\"a b\"");
    EXPECT_STREQ(parse_ok("ddb.longContentID = \"c\"   # x")->diskdb.longcontentid, "\"c\"");
    EXPECT_EQ(parse_ok("parentFileNameHint=\"p.vmdk\"")->parentfilenamehint, "p.vmdk");
    EXPECT_EQ(parse_ok("ddb.encoding = \"utf-8\"")->diskdb.encoding, EN_UTF8);
}

TEST(DescriptorParser, StatementsWithoutNewlineChainOnOneLine)
{
    desc_ptr d = parse_ok("parentFileNameHint=\"/abs/p.vmdk\"ddb.uuid=\"u\" ddb.encoding=\"UTF-8\""
                          "ddb.longContentID=\"l\" version=3\nCID=7\n");
    EXPECT_EQ(d->parentfilenamehint, "/abs/p.vmdk");
    EXPECT_STREQ(d->diskdb.uuid, "\"u\"");
    EXPECT_STREQ(d->diskdb.longcontentid, "\"l\"");
    EXPECT_EQ(d->version, 3u);
    EXPECT_EQ(d->cid, 7u);
    // A fault later on the line skips the whole line, the statements before
    // it included.
    d = parse_ok("ddb.uuid=\"u\" junk version=3\nCID=8\n");
    EXPECT_STREQ(d->diskdb.uuid, "");
    d = parse_ok("ddb.uuid=\"u\"\r\nparentFileNameHint=\"p\"ddb.uuid=\"v\"version\nCID=8\n");
    EXPECT_STREQ(d->diskdb.uuid, "");
    EXPECT_TRUE(d->parentfilenamehint.empty());
    EXPECT_EQ(d->version, 0u);
    EXPECT_EQ(d->cid, 8u);
    // A statement that needs a newline cannot be chained.
    d = parse_ok("version=1 CID=5\nparentCID=6\n");
    EXPECT_EQ(d->version, 0u);
    EXPECT_EQ(d->cid, 0u);
    EXPECT_EQ(d->pcid, 6u);
}

TEST(DescriptorParser, LaterLinesOverrideEarlierOnes)
{
    desc_ptr d = parse_ok("version=1\nversion=2\nparentFileNameHint=\"a\"\nparentFileNameHint=\"b\"\n"
                          "ddb.uuid=\"x\"\nddb.uuid=\"y\"\nddb.thinProvisioned = \"1\"\n"
                          "ddb.thinProvisioned = \"0\"\nchangeTrackPath=\"c1\"\nchangeTrackPath=\"c2\"\n");
    EXPECT_EQ(d->version, 2u);
    EXPECT_EQ(d->parentfilenamehint, "b");
    EXPECT_STREQ(d->diskdb.uuid, "\"y\"");
    EXPECT_EQ(d->thin_provisioned, TOL_FALSE);
    EXPECT_EQ(d->change_track_path, "\"c2\"");
}

TEST(DescriptorParser, SkippedLinesDoNotDisturbLaterOnes)
{
    std::string text = "bogus = \"unterminated\n"
                       "\"\"\n"
                       "= = =\n"
                       "RW 10 FLAT\n"
                       "version\n"
                       "version=\n"
                       "ddb.uuid =\n"
                       "CID=1\r\n"
                       "abcdef\n"
                       "version=5\n"
                       "RW 10 FLAT \"ok\"\n";
    text.insert(text.find("abc") + 3, 1, '\0');
    desc_ptr d = parse_ok(text);
    EXPECT_EQ(d->version, 5u);
    EXPECT_EQ(d->cid, 0u);
    ASSERT_EQ(d->extentdesccount, 1u);
    EXPECT_STREQ(d->extentdesc[0]->extentname, "ok");
}

TEST(DescriptorParser, ThousandTwentyFourExtentsAndNoMore)
{
    std::string text;
    for (int i = 0; i < 1024; i++)
        text += "RW 8 FLAT \"e" + std::to_string(i) + "\"\n";
    desc_ptr d = parse_ok(text);
    ASSERT_EQ(d->extentdesccount, 1024u);
    EXPECT_EQ(d->extentdesc[1023]->extentoffset, 1023u * 8);
    EXPECT_STREQ(d->extentdesc[1023]->extentname, "e1023");

    parse_result r = parse_text(text + "RW 8 FLAT \"one-too-many\"\n");
    ASSERT_NE(r.err, nullptr);
    EXPECT_EQ(r.err->number, ERR_OVERFLOW);
    EXPECT_NE(std::string(r.err->string).find("more than 1024 extents"), std::string::npos)
        << r.err->string;
}

TEST(DescriptorParser, TokensOfUpTo1023BytesAndLonger)
{
    // Extent name String of exactly 1023 bytes, quotes included.
    std::string name(1021, 'n');
    desc_ptr d = parse_ok("RW 8 FLAT \"" + name + "\"\n");
    ASSERT_EQ(d->extentdesccount, 1u);
    EXPECT_EQ(std::string(d->extentdesc[0]->extentname), name);
    // A 1023-byte comment and a 1023-digit Number.
    EXPECT_EQ(parse_ok("#" + std::string(1022, 'c') + "\nversion=1\n")->version, 1u);
    EXPECT_EQ(parse_ok("version=" + std::string(1022, '0') + "7\n")->version, 7u);

    const std::string longer[] = {
        "RW 8 FLAT \"" + std::string(1022, 'n') + "\"\n",
        "#" + std::string(1023, 'c') + "\nversion=1\n",
        "version=" + std::string(1024, '1') + "\n",
        "ddb.uuid = \"" + std::string(200000, 'u') + "\"\n", // far beyond the scanner's window
        "CID=" + std::string(5000, 'f') + "\n",
    };
    for (const std::string &text : longer) {
        parse_result r = parse_text(text);
        ASSERT_NE(r.err, nullptr) << text.substr(0, 40);
        EXPECT_EQ(r.err->number, ERR_OVERFLOW);
        EXPECT_NE(std::string(r.err->string).find("token longer than 1023 bytes at line 1"),
                  std::string::npos)
            << r.err->string;
    }
    // An opening quote that never closes is no token at all: the line is
    // skipped, however long it is.
    d = parse_ok("ddb.uuid = \"" + std::string(200000, 'u') + "\nversion=2\n");
    EXPECT_EQ(d->version, 2u);
    EXPECT_STREQ(d->diskdb.uuid, "");
}

TEST(DescriptorParser, UuidKeepsQuotesAndIsCutTo50Bytes)
{
    desc_ptr d = parse_ok("ddb.uuid = \"" + std::string(60, 'a') + "\"\n");
    EXPECT_EQ(std::string(d->diskdb.uuid), "\"" + std::string(48, 'a'));
    d = parse_ok("changeTrackPath=\"disk-ctk.vmdk\"\n");
    EXPECT_EQ(d->change_track_path, "\"disk-ctk.vmdk\"");
}

TEST(DescriptorParser, SecondAttemptStartsAtByte512WithoutClearing)
{
    // The first attempt ends inside an unfinished line; from byte 512 the
    // rest is a complete statement.
    std::string text = "version=7\n" + std::string(502, 'x');
    ASSERT_EQ(text.size(), 512u);
    text += "ddb.uuid=\"after-header\"";
    desc_ptr d = parse_ok(text);
    EXPECT_STREQ(d->diskdb.uuid, "\"after-header\"");
    EXPECT_EQ(d->version, 7u); // kept from the first attempt

    // A file of under 512 bytes has nothing left for the second attempt.
    expect_parse_failure("version=7\nxxx");
}

TEST(DescriptorParser, BufferParseMatchesFileParse)
{
    vmdkdesc_t d;
    EXPECT_EQ(vmdk_parse_buffer(VMFS_DESCRIPTOR, strlen(VMFS_DESCRIPTOR), &d), nullptr);
    EXPECT_EQ(d.cid, 0xfffffffeu);
    EXPECT_EQ(d.extentdesccount, 1u);
    errdesc_t *err = vmdk_parse_buffer("version=1", 9, &d);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EAGAIN);
    vmdk_free_vmdkdesc(&d);
    EXPECT_EQ(d.extentdesc[0], nullptr);
}

TEST(DescriptorParser, MissingFileGivesErrnoWithThePath)
{
    vmdkdesc_t d;
    errdesc_t *err = vmdk_parse_file_contents("/nonexistent/rfs/d.vmdk", &d);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, ENOENT);
    EXPECT_NE(std::string(err->string).find("/nonexistent/rfs/d.vmdk"), std::string::npos);
}

TEST(DescriptorParser, FreeReleasesOwnedValues)
{
    desc_ptr d = parse_ok("parentFileNameHint=\"p\"\nchangeTrackPath=\"c\"\nRW 1 FLAT \"a\"\nversion=3\n");
    d->extentdesc[0]->loopdev = "/dev/loop7";
    vmdk_free_vmdkdesc(d.get());
    EXPECT_TRUE(d->parentfilenamehint.empty());
    EXPECT_TRUE(d->change_track_path.empty());
    EXPECT_EQ(d->extentdesc[0], nullptr);
    EXPECT_EQ(d->version, 3u); // the rest of the record stays
}

TEST(DescriptorParser, ParsesRunConcurrently)
{
    // Every thread parses its own descriptors; nothing is shared between
    // parses, so results never mix.
    temp_dir dir;
    std::vector<std::string> paths;
    for (int t = 0; t < 4; t++) {
        paths.push_back(dir.file("d" + std::to_string(t) + ".vmdk"));
        write_file(paths.back(), make_descriptor({.cid = 0x1000u + static_cast<uint32_t>(t)}));
    }
    std::vector<int> good(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; i++) {
                auto d = std::make_unique<vmdkdesc_t>();
                if (vmdk_parse_file_contents(paths[t].c_str(), d.get()) == nullptr &&
                    d->cid == 0x1000u + static_cast<uint32_t>(t) && d->extentdesccount == 1)
                    good[t]++;
            }
        });
    }
    for (auto &th : threads)
        th.join();
    for (int t = 0; t < 4; t++)
        EXPECT_EQ(good[t], 200) << t;
}

TEST(DescriptorParser, InvalidCharactersAreLoggedAtDebugLevel5)
{
    int old = get_debug_level();
    set_debug_level(4);
    testing::internal::CaptureStdout();
    parse_ok("version=1\r\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    set_debug_level(5);
    testing::internal::CaptureStdout();
    parse_ok("version=1\r\n");
    std::string out = testing::internal::GetCapturedStdout();
    set_debug_level(old);
    EXPECT_NE(out.find("Invalid char: \r"), std::string::npos) << out;
}
