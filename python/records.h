// records.h - the link's records as NumPy structured dtypes, and the header
// records a producer builds.
#ifndef DATALINK_PYTHON_RECORDS_H
#define DATALINK_PYTHON_RECORDS_H

#include <pybind11/numpy.h>

#include <cstddef>

namespace datalink_python {

struct Dtypes {
  pybind11::dtype event, event2024, slow, image_head, image_frame, image_intro, spectrum_intro;
};

const Dtypes& dtypes();

// Defines the dtypes as module constants and the header builders.
void define_records(pybind11::module_& m);

// A NumPy record (a void scalar) holding a copy of size bytes.
pybind11::object record_from_bytes(const pybind11::dtype& dtype, const void* bytes, size_t size);

}  // namespace datalink_python

#endif  // DATALINK_PYTHON_RECORDS_H
