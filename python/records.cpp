// records.cpp - dtypes made from the C records' own offsets and sizes, so
// that they match the library's layout field for field, and the builders of
// the headers a producer sends.
#include "records.h"

#include <pybind11/stl.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "DataLink.h"

namespace py = pybind11;

namespace datalink_python {

namespace {

struct Field {
  const char* name;
  py::object format;
  size_t offset;
};

py::dtype record_dtype(const std::vector<Field>& fields, size_t size) {
  py::list names, formats, offsets;
  for (const Field& f : fields) {
    names.append(f.name);
    formats.append(f.format);
    offsets.append(f.offset);
  }
  py::dict layout;
  layout["names"] = names;
  layout["formats"] = formats;
  layout["offsets"] = offsets;
  layout["itemsize"] = size;
  return py::dtype::from_args(layout);
}

Dtypes* dtypes_ = nullptr;  // made once at import, kept as long as the process runs

#define DL_FIELD(record, field, format) \
  Field { #field, py::str(format), offsetof(record, field) }

void make_dtypes() {
  py::dtype time =
      record_dtype({DL_FIELD(time_stamp, timeup, "u4"), DL_FIELD(time_stamp, timelow, "u4")}, sizeof(time_stamp));
  dtypes_ = new Dtypes;
  using E = vrq5_eventheader;
  dtypes_->event =
      record_dtype({DL_FIELD(E, pattern, "u4"), DL_FIELD(E, event_length, "u4"), DL_FIELD(E, event_number, "u4"),
                    DL_FIELD(E, event_type, "i4"), Field{"event_time", time, offsetof(E, event_time)},
                    DL_FIELD(E, tmask, "i4"), DL_FIELD(E, status, "i4"), DL_FIELD(E, num_svr_block, "i4")},
                   sizeof(E));
  using E24 = vrq5_eventheader_2024;
  dtypes_->event2024 =
      record_dtype({DL_FIELD(E24, pattern, "u4"), DL_FIELD(E24, event_type, "i4"), DL_FIELD(E24, event_length, "i8"),
                    DL_FIELD(E24, event_number, "u8"), Field{"event_time", time, offsetof(E24, event_time)},
                    DL_FIELD(E24, tmask, "i4"), DL_FIELD(E24, status, "i4"), DL_FIELD(E24, num_svr_block, "i4"),
                    DL_FIELD(E24, fill, "i4")},
                   sizeof(E24));
  using S = vrq5_daq_slow_data_header;
  dtypes_->slow = record_dtype(
      {DL_FIELD(S, pattern, "u4"), DL_FIELD(S, data_length, "u4"), DL_FIELD(S, channels_number, "u4")}, sizeof(S));
  using IH = vrq5_image_head;
  dtypes_->image_head = record_dtype({DL_FIELD(IH, pattern, "u4"), DL_FIELD(IH, length, "u4")}, sizeof(IH));
  using F = vrq5_image_ext_frame_head;
  dtypes_->image_frame =
      record_dtype({DL_FIELD(F, width, "i4"),      DL_FIELD(F, height, "i4"),         DL_FIELD(F, aoi_width, "i4"),
                    DL_FIELD(F, aoi_height, "i4"), DL_FIELD(F, x_start, "i4"),        DL_FIELD(F, y_start, "i4"),
                    DL_FIELD(F, bpp, "i4"),        DL_FIELD(F, ebitpp, "i4"),         DL_FIELD(F, hbin, "i4"),
                    DL_FIELD(F, vbin, "i4"),       DL_FIELD(F, source_format, "i4"),  DL_FIELD(F, image_format, "i4"),
                    DL_FIELD(F, frame, "u4"),      DL_FIELD(F, event, "u4"),          DL_FIELD(F, scale_x, "f4"),
                    DL_FIELD(F, scale_y, "f4"),    DL_FIELD(F, image_rotation, "f4"), DL_FIELD(F, fspare2, "f4"),
                    DL_FIELD(F, fspare3, "f4"),    DL_FIELD(F, fspare4, "f4"),        DL_FIELD(F, image_flags, "i4"),
                    DL_FIELD(F, ispare2, "i4"),    DL_FIELD(F, ispare3, "i4"),        DL_FIELD(F, ispare4, "i4"),
                    DL_FIELD(F, length, "i4")},
                   sizeof(F));
  dtypes_->image_intro = record_dtype({Field{"intro", dtypes_->image_head, offsetof(vrq5_image_ext_intro, intro)},
                                       Field{"head", dtypes_->image_frame, offsetof(vrq5_image_ext_intro, head)}},
                                      sizeof(vrq5_image_ext_intro));
  using SH = vrq5_spect_header;
  py::dtype spectrum_head = record_dtype(
      {DL_FIELD(SH, i, "i4"), DL_FIELD(SH, f1, "f4"), DL_FIELD(SH, f2, "f4"), DL_FIELD(SH, f3, "f4"),
       DL_FIELD(SH, start, "f4"), DL_FIELD(SH, inc, "f4"), DL_FIELD(SH, usec, "u4"), DL_FIELD(SH, sec, "u4"),
       DL_FIELD(SH, bnum, "u4"), DL_FIELD(SH, bnum_req, "u4"), DL_FIELD(SH, event_nm, "u4"), DL_FIELD(SH, error, "i4")},
      sizeof(SH));
  py::dtype spectrum_lead = record_dtype(
      {DL_FIELD(vrq5_spect_head, pattern, "u4"), DL_FIELD(vrq5_spect_head, length, "u4")}, sizeof(vrq5_spect_head));
  dtypes_->spectrum_intro = record_dtype({Field{"intro", spectrum_lead, offsetof(vrq5_spect_intro, intro)},
                                          Field{"head", spectrum_head, offsetof(vrq5_spect_intro, head)}},
                                         sizeof(vrq5_spect_intro));
}

// A zeroed, writable record (a 0-d array) of a dtype.
py::array new_record(const py::dtype& dtype) {
  py::array record(dtype, std::vector<py::ssize_t>{});
  std::memset(record.mutable_data(), 0, static_cast<size_t>(dtype.itemsize()));
  return record;
}

void set_time(py::array& record, std::optional<double> when) {
  double seconds =
      when ? *when : std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  if (seconds < 0) throw py::value_error("time must not be negative");
  auto up = static_cast<uint64_t>(seconds);
  auto low = static_cast<uint64_t>((seconds - static_cast<double>(up)) * 1e6 + 0.5);
  if (low >= 1000000) {
    ++up;
    low -= 1000000;
  }
  time_stamp stamp{static_cast<uint32_t>(up), static_cast<uint32_t>(low)};
  auto field = record[py::str("event_time")].cast<py::array>();
  std::memcpy(field.mutable_data(), &stamp, sizeof stamp);
}

template <typename T>
void set_field(py::array& record, const char* name, T value) {
  record[py::str(name)] = py::cast(value);
}

py::array event_header(int type, uint64_t number, uint64_t length, std::optional<double> when,
                       const std::string& kind) {
  py::array record;
  if (kind == "2024") {
    record = new_record(dtypes_->event2024);
    set_field(record, "pattern", static_cast<uint32_t>(VRQ5_PATTERN_EVENT_2024));
    set_field(record, "event_length", static_cast<int64_t>(sizeof(vrq5_eventheader_2024) + length));
  } else if (kind == "2010" || kind == "older") {
    if (sizeof(vrq5_eventheader) + length > UINT32_MAX || number > UINT32_MAX)
      throw py::value_error("a " + kind + " event header holds 32-bit lengths and numbers");
    record = new_record(dtypes_->event);
    set_field(record, "pattern", static_cast<uint32_t>(kind == "2010" ? VRQ5_PATTERN_EVENT_2010 : VRQ5_PATTERN_EVENT));
    set_field(record, "event_length", static_cast<uint32_t>(sizeof(vrq5_eventheader) + length));
  } else {
    throw py::value_error("kind must be \"2010\", \"2024\" or \"older\", not \"" + kind + "\"");
  }
  set_field(record, "event_number", number);
  set_field(record, "event_type", type);
  set_time(record, when);
  return record;
}

py::array slow_data_header(uint32_t channels, uint64_t length, const std::string& kind) {
  if (kind != "2024" && kind != "older")
    throw py::value_error("kind must be \"2024\" or \"older\", not \"" + kind + "\"");
  if (sizeof(vrq5_daq_slow_data_header) + length > UINT32_MAX)
    throw py::value_error("a slow-data block holds a 32-bit length");
  py::array record = new_record(dtypes_->slow);
  set_field(record, "pattern", static_cast<uint32_t>(kind == "2024" ? VRQ5_PATTERN_SLOW_2024 : VRQ5_PATTERN_SLOW));
  set_field(record, "data_length", static_cast<uint32_t>(sizeof(vrq5_daq_slow_data_header) + length));
  set_field(record, "channels_number", channels);
  return record;
}

py::array image_head(uint64_t length) {
  if (sizeof(vrq5_image_head) + length > UINT32_MAX) throw py::value_error("an image holds a 32-bit length");
  py::array record = new_record(dtypes_->image_head);
  set_field(record, "pattern", static_cast<uint32_t>(VRQ5_PATTERN_EVENT_2010));
  set_field(record, "length", static_cast<uint32_t>(sizeof(vrq5_image_head) + length));
  return record;
}

}  // namespace

const Dtypes& dtypes() { return *dtypes_; }

// A record holding a copy of size bytes.
py::object record_from_bytes(const py::dtype& dtype, const void* bytes, size_t size) {
  py::array record = new_record(dtype);
  std::memcpy(record.mutable_data(), bytes, size);
  return record[py::tuple()];  // the record as a NumPy void scalar
}

void define_records(py::module_& m) {
  make_dtypes();
  m.attr("EVENT_HEADER_DTYPE") = dtypes_->event;
  m.attr("EVENT_HEADER_2024_DTYPE") = dtypes_->event2024;
  m.attr("SLOW_DATA_HEADER_DTYPE") = dtypes_->slow;
  m.attr("IMAGE_HEAD_DTYPE") = dtypes_->image_head;
  m.attr("IMAGE_FRAME_HEAD_DTYPE") = dtypes_->image_frame;
  m.attr("IMAGE_INTRO_DTYPE") = dtypes_->image_intro;
  m.attr("SPECTRUM_INTRO_DTYPE") = dtypes_->spectrum_intro;

  m.def("event_header", &event_header, py::arg("type"), py::arg("number"), py::arg("length"),
        py::arg("time") = py::none(), py::arg("kind") = "2024",
        R"(A new event header record (a writable 0-d NumPy array).

type: event type (0 to 31); number: event number; length: bytes of body that
will follow the header (event_length gets the header's own size added);
time: seconds since the epoch as a float (default: now); kind: "2024" (48-byte
header, EVENT_HEADER_2024_DTYPE), "2010" or "older" (36-byte header,
EVENT_HEADER_DTYPE, patterns 0xFFEEFFDD and 0xFFEEFFEE).)");
  m.def("slow_data_header", &slow_data_header, py::arg("channels"), py::arg("length"), py::arg("kind") = "2024",
        R"(A new slow-data header record (SLOW_DATA_HEADER_DTYPE, 12 bytes).

channels: number of channels; length: bytes of body that will follow;
kind: "2024" (pattern 0xFFEEFFFF) or "older" (0xFFEEFFCC).)");
  m.def("image_head", &image_head, py::arg("length"),
        R"(A new 8-byte image head record (IMAGE_HEAD_DTYPE) for sending an image.

length: bytes that follow the head (the 100-byte frame head and the image
data); send it as link.send(image_head(...), frame_head, data).)");
}

}  // namespace datalink_python
