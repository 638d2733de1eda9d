#pragma once
// Scanner of the descriptor language. At each position it takes the longest
// token that matches; between tokens of equal length the earlier class wins,
// in this order: comment, blank, keyword, number, hex number, quoted number,
// string, newline, "=", any other single character (an invalid character).
// Comments and blanks are consumed here and never returned.
//
// All state lives in the scanner object, so any number of threads may scan
// their own descriptors at once. Input is read through a bounded window, so a
// large file (an extent passed by mistake) costs no more memory than a small
// one.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <sys/types.h>
#include <memory>

enum class vmdk_token_t {
    END,       // end of input (or a read failure, see read_error)
    TOO_LONG,  // a token longer than VMDK_TOKEN_MAX bytes
    LEX_ERROR, // invalid character
    NEWLINE,
    EQUAL,
    NUMBER,
    HEXNUMBER,
    NUMSTRING,
    STRING,

    // Header keys.
    KW_VERSION,
    KW_ENCODING,
    KW_CID,
    KW_PARENTCID,
    KW_CREATETYPE,
    KW_PARENTFILENAMEHINT,
    KW_CHANGETRACKPATH,

    // Extent access and types.
    KW_RW,
    KW_RDONLY,
    KW_NOACCESS,
    KW_FLAT,
    KW_SPARSE,
    KW_ZERO,
    KW_VMFS,
    KW_VMFSSPARSE,
    KW_SESPARSE,
    KW_VMFSRDM,
    KW_VMFSRAW,

    // Disk database keys.
    KW_DDB_VIRTUALHWVERSION,
    KW_DDB_CYLINDERS,
    KW_DDB_HEADS,
    KW_DDB_SECTORS,
    KW_DDB_BIOSCYLINDERS,
    KW_DDB_BIOSHEADS,
    KW_DDB_BIOSSECTORS,
    KW_DDB_ADAPTERTYPE,
    KW_DDB_TOOLSVERSION,
    KW_DDB_ENCODING,
    KW_DDB_UUID,
    KW_DDB_LONGCONTENTID,
    KW_DDB_THINPROVISIONED,

    // Keywords written in double quotes.
    Q_UTF8,
    Q_MONOLITHICSPARSE,
    Q_VMFSSPARSE,
    Q_SESPARSE,
    Q_MONOLITHICFLAT,
    Q_VMFS,
    Q_TWOGBMAXEXTENTSPARSE,
    Q_TWOGBMAXEXTENTFLAT,
    Q_FULLDEVICE,
    Q_VMFSRAW,
    Q_PARTITIONEDDEVICE,
    Q_VMFSRAWDEVICEMAP,
    Q_VMFSPASSTHROUGHRAWDEVICEMAP,
    Q_STREAMOPTIMIZED,
    Q_IDE,
    Q_BUSLOGIC,
    Q_LSILOGIC,
    Q_LEGACYESX,
};

// Longest token text, double quotes included.
inline constexpr size_t VMDK_TOKEN_MAX = 1023;

class descriptor_scanner {
  public:
    // Scans the file open at `fd` from byte `start` on; the caller keeps the
    // descriptor open while the scanner lives.
    descriptor_scanner(int fd, off_t start);
    // Scans a buffer that outlives the scanner.
    descriptor_scanner(const char *data, size_t size);

    vmdk_token_t next();
    // Text of the last token returned (quotes included); valid until next().
    std::string_view text() const { return text_; }
    // Line of the last token returned, from 1.
    unsigned line() const { return line_; }
    // errno of a failed read, after next() returned END; 0 otherwise.
    int read_error() const { return read_error_; }

  private:
    void refill();
    int char_after_run(size_t from, bool (*accept)(char));
    size_t match_long_quoted(std::string_view s, bool (*accept)(char));
    size_t available() const { return end_ - pos_; }

    int fd_ = -1;
    off_t file_pos_ = 0;
    std::unique_ptr<char[]> window_; // file mode only
    const char *base_ = nullptr; // start of the bytes being scanned
    size_t pos_ = 0;
    size_t end_ = 0;
    bool eof_ = false;
    int read_error_ = 0;
    unsigned line_ = 1;
    unsigned next_line_ = 1;
    std::string_view text_;
};
