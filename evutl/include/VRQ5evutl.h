// VRQ5evutl.h - records of the event stream, their byte-order conversion and
// the process-wide data-format switch.
//
// Every record below travels on the wire exactly as laid out here; the
// static_asserts at the end make the compiler prove each size and offset.
//
// Conversion rules (see docs/wire-format.md):
//   * every 32-bit field is byte-reversed;
//   * the two 64-bit fields of the 2024 event header (event_length and
//     event_number) are reversed as 64-bit units;
//   * a body (event, slow data or image) is a sequence of 32-bit words, each
//     reversed; a tail shorter than a word stays as it is.
// Reversal is its own inverse: the receiver's conversions, making the same
// layout decisions, give back the sender's bytes exactly. On the little-endian
// hosts this library runs on, a reversed record is in network order.
// A conversion takes a source and a destination; the same pointer twice
// converts in place (other overlaps are not supported). Every conversion
// returns 0 on success or one of the VRQ5_CONVERT_* codes, for which
// vrq5_get_convert_error() gives a text; a refused conversion writes nothing.
//
// Layout. No conversion reads the data-format switch. The unsized event
// conversions take 48 bytes when the pattern is 0xFFCCFFCC in either byte
// order and 36 otherwise; the *_sized variants take the size they are given,
// whatever the pattern says.
//
// Lengths. The functions without a length take it from the record's own
// header, in the byte order that header is in at that point of the calling
// order: the _hton functions read a host-order header; vrq5_convert_event and
// vrq5_convert_slow_data read a received header in the order its pattern
// shows (a host-order pattern means host order, anything else the sender's
// other order); vrq5_convert_data reads a head that is already converted. A
// length below the header size, a negative 2024 or frame-head length and a
// 2024 length above 4 GiB - 1 (the link counts units in 32 bits) are refused;
// so is a slow-data body whose preceding header lacks the given pattern. Beyond that
// they trust the length they find; code that holds the real size of its
// buffer calls the *_sized variants, which never touch a byte outside
// [0, length).
#ifndef VRQ5EVUTL_H
#define VRQ5EVUTL_H

#include <cstddef>
#include <cstdint>

#if defined(VRQ5EVUTL_BUILDING)
#define VRQ5EVUTL_API __attribute__((visibility("default")))
#else
#define VRQ5EVUTL_API
#endif

// Header patterns: the first 32-bit word of every unit, compared in host order.
enum : uint32_t {
  VRQ5_PATTERN_EVENT = 0xFFEEFFEEu,       // 36-byte event header, neither 2010 nor 2024
  VRQ5_PATTERN_EVENT_2010 = 0xFFEEFFDDu,  // 36-byte event header, 2010 generation
  VRQ5_PATTERN_EVENT_2024 = 0xFFCCFFCCu,  // 48-byte event header, 2024 generation
  VRQ5_PATTERN_SLOW = 0xFFEEFFCCu,        // 12-byte slow-data header
  VRQ5_PATTERN_SLOW_2024 = 0xFFEEFFFFu,   // 12-byte slow-data header, 2024 generation
  // The same patterns as a receiver of the other byte order reads them.
  VRQ5_PATTERN_EVENT_SWAPPED = 0xEEFFEEFFu,
  VRQ5_PATTERN_EVENT_2010_SWAPPED = 0xDDFFEEFFu,
  VRQ5_PATTERN_EVENT_2024_SWAPPED = 0xCCFFCCFFu,
  VRQ5_PATTERN_SLOW_SWAPPED = 0xCCFFEEFFu,
  VRQ5_PATTERN_SLOW_2024_SWAPPED = 0xFFFFEEFFu,
};

enum VRQ5_EVTYPE : int32_t {
  VRQ5_EV_HB = 0,
  VRQ5_EV_NORMAL = 1,
  VRQ5_EV_BOR = 2,
  VRQ5_EV_EOR = 3,
  VRQ5_EV_ENV = 4,
  VRQ5_EV_UPD = 5,
  VRQ5_EV_IMAGE = 6,
  VRQ5_EV_WS = 7,
  VRQ5_EV_MCP = 8,
  VRQ5_EV_WSS = 9,
  VRQ5_EV_BL1 = 10,
  VRQ5_EV_BL2 = 11,
  VRQ5_EV_BL3 = 12,
  VRQ5_EV_PG0 = 13,
  VRQ5_EV_PG1 = 14,
  VRQ5_EV_PG2 = 15,
  VRQ5_EV_GMD = 16,
  VRQ5_EV_PHOTEN = 17,
  VRQ5_EV_PHOTWL = 18,
  VRQ5_EV_BEAM_ENERGY = 19,
  VRQ5_EV_LLRF_ML = 20,
  VRQ5_EV_BEAM_ENERGY_BYPASS = 21,
  VRQ5_EV_SPECTR_1 = 22,
  VRQ5_EV_SPECTR_2 = 23,
  VRQ5_EV_SPECTR_3 = 24,
  VRQ5_EV_SPECTR_4 = 25,
  VRQ5_EV_SPECTR_5 = 26,
  VRQ5_EV_TOROID_ML = 27,
  VRQ5_EV_28 = 28,
  VRQ5_EV_29 = 29,
  VRQ5_EV_30 = 30,
  VRQ5_EV_31 = 31,
  VRQ5_EV_EVMAX = 32,  // one past the last type; also "no type"
};

// Types of the sub-blocks behind an event header. The link itself names only
// the two image blocks; every sub-block body converts as 32-bit words.
enum VRQ5_SUBBLOCK_TYPE : int32_t {
  VRQ5_BLOCK_NONE = 0,
  VRQ5_BLOCK_ADC = 1,
  VRQ5_BLOCK_TDC = 2,
  VRQ5_BLOCK_SCALER = 3,
  VRQ5_BLOCK_SLOW = 4,
  VRQ5_BLOCK_SPECTRUM = 5,
  VRQ5_BLOCK_IMAGE = 13,      // block behind an 8-byte image head
  VRQ5_BLOCK_IMAGE_EXT = 27,  // block behind a 100-byte extended frame head
};

struct time_stamp {
  uint32_t timeup;   // coarse part of the event time
  uint32_t timelow;  // fine part, in millionths of a timeup unit
};

// Event header before 2024 (patterns 0xFFEEFFEE, 0xFFEEFFDD), 36 bytes.
struct vrq5_eventheader {
  uint32_t pattern;
  uint32_t event_length;  // whole event in bytes, this header included
  uint32_t event_number;
  VRQ5_EVTYPE event_type;
  time_stamp event_time;
  int32_t tmask;
  int32_t status;
  int32_t num_svr_block;
};

// Event header of the 2024 generation (pattern 0xFFCCFFCC), 48 bytes.
struct vrq5_eventheader_2024 {
  uint32_t pattern;
  VRQ5_EVTYPE event_type;
  int64_t event_length;  // whole event in bytes, this header included
  uint64_t event_number;
  time_stamp event_time;
  int32_t tmask;
  int32_t status;
  int32_t num_svr_block;
  int32_t fill;  // alignment to 8 bytes; travels with the header, not interpreted
};

// Slow-data block header (patterns 0xFFEEFFCC, 0xFFEEFFFF), 12 bytes.
struct vrq5_daq_slow_data_header {
  uint32_t pattern;
  uint32_t data_length;  // whole block in bytes, this header included
  uint32_t channels_number;
};

// Image head, 8 bytes.
struct vrq5_image_head {
  uint32_t pattern;
  uint32_t length;  // whole image record in bytes, this head included
};

// Extended image frame head, 100 bytes.
struct vrq5_image_ext_frame_head {
  int32_t width;
  int32_t height;
  int32_t aoi_width;
  int32_t aoi_height;
  int32_t x_start;
  int32_t y_start;
  int32_t bpp;
  int32_t ebitpp;
  int32_t hbin;
  int32_t vbin;
  int32_t source_format;
  int32_t image_format;
  uint32_t frame;
  uint32_t event;
  float scale_x;
  float scale_y;
  float image_rotation;
  float fspare2;
  float fspare3;
  float fspare4;
  int32_t image_flags;
  int32_t ispare2;
  int32_t ispare3;
  int32_t ispare4;
  int32_t length;  // whole image record when this head leads a scatter list given to SendEvent
};

// Image intro as the image receiver reads it, 108 bytes.
struct vrq5_image_ext_intro {
  vrq5_image_head intro;
  vrq5_image_ext_frame_head head;
};

// Spectrum intro, 56 bytes.
struct vrq5_spect_head {
  uint32_t pattern;
  uint32_t length;  // whole spectrum record in bytes, this intro included
};

struct vrq5_spect_header {
  int32_t i;
  float f1;
  float f2;
  float f3;
  float start;
  float inc;
  uint32_t usec;
  uint32_t sec;
  uint32_t bnum;
  uint32_t bnum_req;
  uint32_t event_nm;
  int32_t error;
};

struct vrq5_spect_intro {
  vrq5_spect_head intro;
  vrq5_spect_header head;
};

// Conversion status codes (0 is success).
enum {
  VRQ5_CONVERT_OK = 0,
  VRQ5_CONVERT_NULL = 1,          // a null source or destination
  VRQ5_CONVERT_SHORT_LENGTH = 2,  // a length smaller than its header
  VRQ5_CONVERT_BAD_HEADER = 3,    // a header that does not fit the call: an event header size other than
                                  // 36 or 48, a head size that does not match the image sub-block type,
                                  // or a slow-data body not behind a header with the given pattern
  VRQ5_CONVERT_BAD_LENGTH = 4,    // a length that is negative or otherwise impossible
  VRQ5_CONVERT_BAD_TYPE = 5,      // an image sub-block type other than 13 and 27
};

// Header conversions: the record only.
// 36 or 48 bytes: the layout follows the pattern in either byte order (the
// 2024 pattern means 48 bytes, anything else 36). A caller whose record may
// be 36 bytes with a 2024 pattern uses vrq5_convert_event_head_sized.
VRQ5EVUTL_API int vrq5_convert_event_head(void* src, void* dst);
VRQ5EVUTL_API int vrq5_convert_slow_data_head(void* src, void* dst);  // 12 bytes: 3 words
VRQ5EVUTL_API int vrq5_convert_image_head(void* src, void* dst);      // 8 bytes: 2 words
VRQ5EVUTL_API int vrq5_convert_image_ext_head(void* src, void* dst);  // 100 bytes: 25 words
VRQ5EVUTL_API int vrq5_convert_spect_head(void* src, void* dst);      // whole 56-byte intro: 14 words

// Whole units, header and body. len -1 takes the length from the host-order
// header; len >= 0 is the length in bytes; other negative values are refused.
VRQ5EVUTL_API int vrq5_convert_event_hton(void* src, void* dst, int len);
// A received event, header still in the sender's order (see Lengths above).
VRQ5EVUTL_API int vrq5_convert_event(void* src, void* dst);
// The body behind a host-order slow-data header, which must sit in the 12
// bytes just before src and carry pattern: its data_length - 12 bytes as
// words. channels counts channels, not bytes, and is not used for the size.
VRQ5EVUTL_API int vrq5_convert_slow_data_block_hton(void* src, void* dst, int channels, uint32_t pattern);
// A received slow-data block, header still in the sender's order (see Lengths
// above): 3 header words, then data_length - 12 bytes as words.
VRQ5EVUTL_API int vrq5_convert_slow_data(void* src, void* dst);
// An image body behind its head (type 13 with an 8-byte head, 27 with a
// 100-byte head). Its length is the head's last word, in the 4 bytes just
// before src, which the sender has already converted to network order; the
// body is that length minus the head size. Image data on their own (the
// image receiver) are never converted.
VRQ5EVUTL_API int vrq5_convert_data(void* src, void* dst, int type, int head_size);

// Sized variants: the caller states the real sizes; nothing outside
// [0, length) of src or dst is touched.
// Header of header_size bytes (36 or 48), the rest of length as body words.
VRQ5EVUTL_API int vrq5_convert_event_head_sized(const void* src, void* dst, size_t header_size);
VRQ5EVUTL_API int vrq5_convert_event_sized(const void* src, void* dst, size_t header_size, size_t length);
// A whole slow-data block of length bytes (12-byte header, then body words).
VRQ5EVUTL_API int vrq5_convert_slow_data_sized(const void* src, void* dst, size_t length);
// A bare body of length bytes, as 32-bit words.
VRQ5EVUTL_API int vrq5_convert_words_sized(const void* src, void* dst, size_t length);

// Reverses the bytes of each of n 32-bit words from src to dst.
VRQ5EVUTL_API void vrq5_swap4(int* src, int* dst, int n);
// A printable text for a conversion code; never null.
VRQ5EVUTL_API char* vrq5_get_convert_error(int code);

// The data-format switch: which generation of the event format is in force,
// process-wide. Exactly one generation holds at a time:
//   set_data_format_2010(true)  selects 2010,
//   set_data_format_2024(true)  selects 2024,
//   either call with false      selects the older generation that is neither.
// is_data_format_2024() is true exactly when 2024 is in force, and
// is_data_format_2010() exactly when 2010 is; the process starts with the
// older generation. The switch is atomic, so threads never race on it, but it
// is one value per process: every link of the process sets and reads the same
// switch. The conversions themselves never read it.
VRQ5EVUTL_API void set_data_format_2010(bool flag);
VRQ5EVUTL_API void set_data_format_2024(bool flag);
VRQ5EVUTL_API bool is_data_format_2024();
VRQ5EVUTL_API bool is_data_format_2010();

#define VRQ5_CHECK_LAYOUT(type, field, offset) static_assert(offsetof(type, field) == (offset), #type "." #field)
static_assert(sizeof(time_stamp) == 8, "time_stamp");
static_assert(sizeof(vrq5_eventheader) == 36, "vrq5_eventheader");
VRQ5_CHECK_LAYOUT(vrq5_eventheader, event_length, 4);
VRQ5_CHECK_LAYOUT(vrq5_eventheader, event_number, 8);
VRQ5_CHECK_LAYOUT(vrq5_eventheader, event_type, 12);
VRQ5_CHECK_LAYOUT(vrq5_eventheader, event_time, 16);
VRQ5_CHECK_LAYOUT(vrq5_eventheader, tmask, 24);
VRQ5_CHECK_LAYOUT(vrq5_eventheader, status, 28);
VRQ5_CHECK_LAYOUT(vrq5_eventheader, num_svr_block, 32);
static_assert(sizeof(vrq5_eventheader_2024) == 48, "vrq5_eventheader_2024");
VRQ5_CHECK_LAYOUT(vrq5_eventheader_2024, event_type, 4);
VRQ5_CHECK_LAYOUT(vrq5_eventheader_2024, event_length, 8);
VRQ5_CHECK_LAYOUT(vrq5_eventheader_2024, event_number, 16);
VRQ5_CHECK_LAYOUT(vrq5_eventheader_2024, event_time, 24);
VRQ5_CHECK_LAYOUT(vrq5_eventheader_2024, tmask, 32);
VRQ5_CHECK_LAYOUT(vrq5_eventheader_2024, status, 36);
VRQ5_CHECK_LAYOUT(vrq5_eventheader_2024, num_svr_block, 40);
VRQ5_CHECK_LAYOUT(vrq5_eventheader_2024, fill, 44);
static_assert(sizeof(vrq5_daq_slow_data_header) == 12, "vrq5_daq_slow_data_header");
VRQ5_CHECK_LAYOUT(vrq5_daq_slow_data_header, data_length, 4);
VRQ5_CHECK_LAYOUT(vrq5_daq_slow_data_header, channels_number, 8);
static_assert(sizeof(vrq5_image_head) == 8, "vrq5_image_head");
static_assert(sizeof(vrq5_image_ext_frame_head) == 100, "vrq5_image_ext_frame_head");
VRQ5_CHECK_LAYOUT(vrq5_image_ext_frame_head, frame, 48);
VRQ5_CHECK_LAYOUT(vrq5_image_ext_frame_head, scale_x, 56);
VRQ5_CHECK_LAYOUT(vrq5_image_ext_frame_head, image_flags, 80);
VRQ5_CHECK_LAYOUT(vrq5_image_ext_frame_head, length, 96);
static_assert(sizeof(vrq5_image_ext_intro) == 108, "vrq5_image_ext_intro");
VRQ5_CHECK_LAYOUT(vrq5_image_ext_intro, head, 8);
static_assert(sizeof(vrq5_spect_head) == 8, "vrq5_spect_head");
static_assert(sizeof(vrq5_spect_header) == 48, "vrq5_spect_header");
VRQ5_CHECK_LAYOUT(vrq5_spect_header, usec, 24);
VRQ5_CHECK_LAYOUT(vrq5_spect_header, event_nm, 40);
VRQ5_CHECK_LAYOUT(vrq5_spect_header, error, 44);
static_assert(sizeof(vrq5_spect_intro) == 56, "vrq5_spect_intro");
VRQ5_CHECK_LAYOUT(vrq5_spect_intro, head, 8);
#undef VRQ5_CHECK_LAYOUT

#endif  // VRQ5EVUTL_H
