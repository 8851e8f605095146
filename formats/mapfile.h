// Binary measurement file: encoding and decoding of its blocks, with no file or panel access.
//
// A file is a sequence of blocks written back to back, no file header, no trailer. All fields are
// little-endian; integers signed 32-bit, floats IEEE-754 single precision. A block is a header
// followed by n records of five floats (20 bytes each):
//   version 3 (written): 10 header fields, 40 bytes
//     0 version  1 block length in bytes, header included  2 position index
//     3 X read back  4 Y read back  5 X requested  6 Y requested (microsteps)
//     7 reference dark offset (float, A)  8 dark offset at the position (float, A)
//     9 calendar time of writing (whole seconds)
//   versions 1 and 2 (read only): fields 0 to 4 only, 20 bytes
//   record: wavelength (0.1 nm, as float), reference current, sample current (A),
//           reference QE, sample QE
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#define MAPFILE_VERSION 3             // the only version written
#define MAPFILE_HEADER3_BYTES 40      // header of version 3
#define MAPFILE_HEADER12_BYTES 20     // header of versions 1 and 2
#define MAPFILE_RECORD_BYTES 20       // one record
#define MAPFILE_MAX_POINTS 1000       // records the store can take from one block

struct MapHeader {
    int32_t version;
    int32_t length;    // bytes of the whole block, header included
    int32_t index;     // position index (store row; POSITIONS row index + 1)
    int32_t xRead;     // microsteps, read back after the scan
    int32_t yRead;     // microsteps
    int32_t xReq;      // microsteps, requested (table cell)
    int32_t yReq;      // microsteps
    float offRef;      // amperes, reference dark offset
    float offPos;      // amperes, dark offset at this position
    int32_t time;      // seconds of the calendar clock when written
};

struct MapRecord {
    float wl;          // tenths of a nanometre
    float refCur;      // amperes
    float sampleCur;   // amperes
    float refQe;
    float sampleQe;
};

// Block length in bytes of a version-3 block of n records: 4 × (10 + 5 × n).
int32_t mapfile_block_length(int n);

// Encodes a version-3 header (all ten fields as given) into 40 bytes.
void mapfile_put_header(unsigned char out[MAPFILE_HEADER3_BYTES], const MapHeader *h);
// Encodes one record into 20 bytes.
void mapfile_put_record(unsigned char out[MAPFILE_RECORD_BYTES], const MapRecord *r);

// Size of the header that a block of this version carries: 40 for 3, 20 for 1 and 2, 0 for any
// other version (not a block this program reads).
int mapfile_header_bytes(int32_t version);

// Decodes the header at data[0 .. len). The version needs 4 bytes; versions 1 and 2 need 20,
// version 3 all 40. Returns the header's size in bytes (20 or 40) with *h filled (fields 5 to 9
// zero for versions 1 and 2); 0 when the version is not 1, 2 or 3 (only version and length, or 0
// when fewer than 8 bytes, are filled then); -1 when len is too short for the version or for the
// header its version calls for (*h untouched).
int mapfile_get_header(const unsigned char *data, size_t len, MapHeader *h);

// Decodes one record from 20 bytes.
void mapfile_get_record(const unsigned char in[MAPFILE_RECORD_BYTES], MapRecord *r);

// Number of records a block declares: floor(length / 20) − 1, minus one more for version 3, with
// length taken as an unsigned number. May be negative (length below one header) and is not
// bounded by the store; callers bound it.
long long mapfile_declared_points(const MapHeader *h);

// Wavelength of a record as the store keeps it: truncated toward zero. Values outside the int
// range or not a number give 0.
int mapfile_wavelength(float wl);

// The first block of a file, as the loader takes it into the store.
struct MapFirstBlock {
    MapHeader hdr;
    int declared;     // records the header declares, bounded to 0 … MAPFILE_MAX_POINTS
    int taken;        // whole records present in the data, at most `declared`
    MapRecord rec[MAPFILE_MAX_POINTS];
};

// Result of mapfile_decode_first.
enum {
    MAPFILE_OK = 0,            // header and every declared record (up to the store's bound) present
    MAPFILE_CUT_RECORDS = 1,   // header whole, data ended inside the records: `taken` < `declared`
    MAPFILE_CUT_HEADER = -1,   // data ended inside the header: nothing taken
    MAPFILE_BAD_VERSION = -2,  // field 0 is not 1, 2 or 3: nothing taken
};

// Decodes the first block of data[0 .. len) into *b. Records past MAPFILE_MAX_POINTS are not
// decoded. On MAPFILE_CUT_HEADER and MAPFILE_BAD_VERSION, `declared` and `taken` are 0.
int mapfile_decode_first(const unsigned char *data, size_t len, MapFirstBlock *b);

// Further reasons of mapfile_take_first why a first block is not taken as a reference.
enum {
    MAPFILE_NO_POINTS = -3,   // the block's length leaves room for no record (0, 41, negative)
    MAPFILE_CUT_BLOCK = -4,   // the file ends before the last record the block declares
    MAPFILE_NOT_FINITE = -5,  // a value a reference takes is not a finite number (or a wavelength
                              // outside the int range)
};

// The first block of a file as a reference is taken from it: decoded as mapfile_decode_first
// does from data[0 .. len), the beginning of a file of fileBytes bytes (len <= fileBytes). It is
// taken only when its version is 1, 2 or 3, its length declares at least one record, every record
// it declares lies within the file, and the values a reference takes are finite: the wavelength,
// reference current and reference QE of each of the first b->taken records, and for version 3
// the reference dark offset (field 7). A block declaring more than MAPFILE_MAX_POINTS records is
// taken with its first MAPFILE_MAX_POINTS when it is whole in the file.
// Returns MAPFILE_OK, or MAPFILE_CUT_HEADER, MAPFILE_BAD_VERSION, MAPFILE_NO_POINTS,
// MAPFILE_CUT_BLOCK or MAPFILE_NOT_FINITE with *why (may be null) a phrase saying why ("the first
// block declares 80 points but the file ends after 12 of them").
int mapfile_take_first(const unsigned char *data, size_t len, unsigned long long fileBytes, MapFirstBlock *b,
                       std::string *why);

// ---------------------------------------------------------------------------------------------
// Whole files: every block of a map file, for the tools, the map view and resuming a map.

#include <vector>

struct MapBlock {
    MapHeader hdr;
    size_t offset;              // byte offset of the block in the file
    std::vector<MapRecord> rec; // every record the block declares
};

// Why reading a file's blocks stopped.
enum {
    MAPREAD_END = 0,          // the data ended exactly after a whole block (or was empty)
    MAPREAD_CUT_HEADER = 1,   // the data ended inside a block's header
    MAPREAD_BAD_VERSION = 2,  // a block's first field is not 1, 2 or 3
    MAPREAD_BAD_LENGTH = 3,   // a block's length is shorter than its own header
    MAPREAD_CUT_RECORDS = 4,  // the data ended inside a block's records
    MAPREAD_IO = 5,           // the file could not be opened or read (mapfile_load only)
};

struct MapBlocks {
    std::vector<MapBlock> blocks; // the whole blocks, in file order
    size_t wholeBytes = 0;        // bytes of the file the whole blocks take (where a cut goes)
    size_t fileBytes = 0;         // bytes of data read
    int stop = MAPREAD_END;       // why reading stopped
    size_t stopOffset = 0;        // byte offset of the block where reading stopped
    std::string why;              // a sentence naming the block (1-based) and byte offset, empty at MAPREAD_END
};

// Decodes every whole block of data[0 .. len) into *out, stopping at the first block that is
// not whole or not readable; what came before stays in out->blocks. Returns out->stop.
int mapfile_read_blocks(const unsigned char *data, size_t len, MapBlocks *out);

// Reads the file at path and decodes its blocks as mapfile_read_blocks does. Returns out->stop;
// MAPREAD_IO when the file cannot be opened or read (out->why says why, no blocks).
int mapfile_load(const char *path, MapBlocks *out);

// Encodes a whole version-3 block (header and records) into out, replacing its contents; the
// header's length field is set from the number of records.
void mapfile_encode_block(const MapHeader &h, const MapRecord *rec, int n, std::vector<unsigned char> *out);
