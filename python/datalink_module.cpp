// datalink_module.cpp - the Python module `datalink`: listeners and links,
// blocks as views of the library's block buffer, and the ring buffer. The
// records are in records.cpp, the exceptions in link_errors.cpp.
//
// Blocking calls run without the GIL. Waits are cut into slices of at most a
// quarter second, between which pending signals are checked, so Ctrl-C ends a
// waiting receive; a signal that arrives in a system call makes the library
// return at once (EINTR) and is raised the same way.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "DataLink.h"
#include "family_scope.h"
#include "link_errors.h"
#include "quiet_output.h"
#include "records.h"

namespace py = pybind11;
using namespace datalink_python;

namespace {

using Clock = std::chrono::steady_clock;
constexpr long kSliceMicroseconds = 250000;  // longest wait between two signal checks
constexpr int kDefaultRetries = 10;          // the library's own default

// ---- Buffers -----------------------------------------------------------------

// A buffer-protocol object held for the length of a call: its memory cannot
// move or go away while the library reads or writes it without the GIL.
class HeldBuffer {
 public:
  HeldBuffer(const py::handle& object, bool writable) {
    int flags = PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(object.ptr(), &view_, flags) != 0) throw py::error_already_set();
  }
  ~HeldBuffer() { PyBuffer_Release(&view_); }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  char* data() const { return static_cast<char*>(view_.buf); }
  size_t size() const { return static_cast<size_t>(view_.len); }

 private:
  Py_buffer view_;
};

// One unit's pieces, header first, as the library's scatter list wants them.
struct HeldUnit {
  std::vector<std::unique_ptr<HeldBuffer>> pieces;
  void add(const py::handle& object) { pieces.push_back(std::make_unique<HeldBuffer>(object, false)); }
  // SendEvent may advance the elements after a partial write, so the list is
  // built afresh for every call; the bytes themselves are never written.
  std::vector<iovec> scatter() const {
    std::vector<iovec> vec(pieces.size());
    for (size_t i = 0; i < pieces.size(); ++i) vec[i] = iovec{pieces[i]->data(), pieces[i]->size()};
    return vec;
  }
};

// ---- Ring buffer ---------------------------------------------------------------

struct RingBuffer {
  explicit RingBuffer(unsigned long capacity) : ring(capacity) {}
  RNG_RingBuffer ring;
};

// ---- Link ----------------------------------------------------------------------

// One DataLink object, shared by a Listener and the Links it accepts.
struct Endpoint {
  DataLink link;
  bool listener;
  bool unix_domain;
  bool quiet;
  bool released = false;
  int retries = kDefaultRetries;
  int socket_buffer = 0;
  std::mutex busy;
  // Receiving: the block the library holds now, and the body view of it that
  // was handed out, released before the library frees that block.
  uint64_t generation = 0;
  py::object body_view;

  Endpoint(bool is_listener, bool bigend, bool unix, bool q)
      : link(static_cast<int>(bigend ? BIGEND_MODE : NATIVE_MODE)),
        listener(is_listener),
        unix_domain(unix),
        quiet(q) {}

  ~Endpoint() {
    // Python may drop a link without closing it: end the connection and, on
    // the listening end, release the socket and its UNIX-domain path.
    QuietScope silence(true);
    if (listener && !released) {
      FamilyScope family(unix_domain);
      link.SocketRelease();
    } else if (link.IsLinkActive()) {
      link.Disconnect();
    }
  }

  void forget_block() {
    ++generation;
    if (body_view) {
      // A view still exported elsewhere cannot be released; it stays valid
      // only until the library frees the block, as documented.
      PyObject* released_view = PyObject_CallMethod(body_view.ptr(), "release", nullptr);
      if (released_view == nullptr)
        PyErr_Clear();
      else
        Py_DECREF(released_view);
      body_view = py::object();
    }
  }
};

// Refuses a second thread on the same DataLink: the library is not made for it.
class Busy {
 public:
  explicit Busy(Endpoint& ep) : lock_(ep.busy, std::try_to_lock) {
    if (!lock_.owns_lock()) throw std::runtime_error("the link is in use by another thread");
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

struct Block {
  const char* kind = "";               // "event", "event2024" or "slow", as the datalink program names them
  std::shared_ptr<Endpoint> endpoint;  // null once the block owns its bytes
  uint64_t generation = 0;
  const char* data = nullptr;  // the whole block, header first
  size_t header_size = 0;
  uint64_t length = 0;
  std::shared_ptr<std::vector<char>> owned;
  py::object header_cache;
  py::object body_cache;

  bool valid() const { return owned || (endpoint && endpoint->generation == generation); }
  void check() const {
    if (!valid())
      throw py::value_error(
          "this block was released by a later receive on its link; keep block.copy() to hold a block longer");
  }
  std::optional<uint64_t> number;  // events only, read when the block arrived
  std::optional<int> type;
  const py::dtype* dtype = nullptr;
};

// The block the library holds after a successful ReceiveEvent. The header
// accessors give its start only for a host-order pattern; its length comes
// from its own header, not from the process-wide data format.
template <typename Header>
Block block_at(const Header* header, const char* kind, const py::dtype& dtype, uint64_t length) {
  Block block;
  block.kind = kind;
  block.dtype = &dtype;
  block.data = reinterpret_cast<const char*>(header);
  block.header_size = sizeof *header;
  block.length = length;
  return block;
}

template <typename Header>
Block event_block_at(const Header* header, const char* kind, const py::dtype& dtype) {
  Block block = block_at(header, kind, dtype, static_cast<uint64_t>(header->event_length));
  block.number = header->event_number;
  block.type = header->event_type;
  return block;
}

std::optional<Block> held_block(DataLink& link) {
  if (auto* event = link.get_event_header()) return event_block_at(event, "event", dtypes().event);
  if (auto* event = link.get_event_header_2024()) return event_block_at(event, "event2024", dtypes().event2024);
  if (auto* slow = link.get_slow_data_header()) return block_at(slow, "slow", dtypes().slow, slow->data_length);
  return std::nullopt;
}

double remaining(std::optional<Clock::time_point> deadline) {
  if (!deadline) return 1e9;
  return std::chrono::duration<double>(*deadline - Clock::now()).count();
}

std::optional<Clock::time_point> deadline_of(std::optional<double> timeout) {
  if (!timeout) return std::nullopt;
  if (*timeout < 0) throw py::value_error("timeout must not be negative");
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*timeout));
}

long slice_of(std::optional<Clock::time_point> deadline) {
  double left = remaining(deadline);
  if (left <= 0) return 0;
  return std::min(kSliceMicroseconds, static_cast<long>(left * 1e6));
}

struct Link {
  std::shared_ptr<Endpoint> ep;

  void close() {
    Busy busy(*ep);
    if (!ep->link.IsLinkActive()) return;
    QuietScope silence(ep->quiet);
    ep->link.Disconnect();
  }

  void send(const py::object& header, const py::args& body, bool ack) {
    HeldUnit unit;
    unit.add(header);
    for (const auto& piece : body) unit.add(piece);
    std::vector<HeldUnit> units;
    units.push_back(std::move(unit));
    send_units(units, ack, "send");
  }

  size_t send_many(const py::iterable& items, bool ack) {
    std::vector<HeldUnit> units;
    for (const auto& item : items) {
      if (!py::isinstance<py::tuple>(item) && !py::isinstance<py::list>(item))
        throw py::type_error("send_many takes units as tuples or lists: (header, *body)");
      HeldUnit unit;
      for (const auto& piece : item) unit.add(piece);
      if (unit.pieces.empty()) throw py::value_error("a unit needs at least its header");
      units.push_back(std::move(unit));
    }
    send_units(units, ack, "send_many");
    return units.size();
  }

  // The one place where units go to the library: all of them in one
  // SendEvents call, which puts the same bytes on the wire as one SendEvent
  // per unit and says how many whole units went out.
  void send_units(const std::vector<HeldUnit>& units, bool ack, const char* what) {
    Busy busy(*ep);
    if (units.empty()) return;
    int sent = 0;
    int status = DL_OK;
    {
      py::gil_scoped_release no_gil;
      QuietScope silence(ep->quiet);
      std::vector<iovec> vec;
      for (const HeldUnit& unit : units) {
        std::vector<iovec> pieces = unit.scatter();
        vec.insert(vec.end(), pieces.begin(), pieces.end());
      }
      status =
          ep->link.SendEvents(vec.data(), static_cast<int>(vec.size()), ack ? SendEvent_ACK : SendEvent_NOACK, &sent);
    }
    if (status == DL_OK) return;
    check_signals();
    std::string where = what;
    if (units.size() > 1) where += " (unit " + std::to_string(sent) + " of " + std::to_string(units.size()) + ")";
    raise_status(status, where);
  }

  Block receive(RingBuffer* ring, std::optional<double> timeout) {
    Busy busy(*ep);
    auto deadline = deadline_of(timeout);
    ep->forget_block();
    for (;;) {
      int status;
      {
        py::gil_scoped_release no_gil;
        QuietScope silence(ep->quiet);
        status = ep->link.ReceiveEvent(ring ? &ring->ring : nullptr, 1, 0, slice_of(deadline));
        if (status == DL_OK && ring != nullptr) {
          int stored = ep->link.WriteBlockToRingBuffer(ring->ring);
          if (stored != DL_OK) status = -stored;
        }
      }
      if (status < 0) raise_status(-status, "receive: storing the block in the ring");
      if (status == DL_OK) return make_block();
      check_signals();
      if (status != DL_ERR_NOT_CONNECTED && ep->link.peer_closed())
        raise_peer_closed(status, "receive: the peer closed the link");
      if (status == DL_ERR_TIMEOUT || status == DL_ERR_SCAN_WOULD_BLOCK) {
        if (remaining(deadline) <= 0) raise_status(DL_ERR_TIMEOUT, "receive");
        continue;
      }
      raise_status(status, "receive");
    }
  }

  Block make_block() {
    std::optional<Block> block = held_block(ep->link);
    if (!block) raise_status(DL_ERR_NO_BUFFER, "receive: the block is in neither byte order's known layout");
    block->endpoint = ep;
    block->generation = ep->generation;
    return std::move(*block);
  }

  Block next() {
    try {
      return receive(nullptr, std::nullopt);
    } catch (py::error_already_set& e) {
      if (is_peer_closed(e)) throw py::stop_iteration();
      throw;
    }
  }

  // Waits in slices until the link is readable, so that an image or spectrum
  // receiver, which waits without limit, starts only when bytes are there.
  void wait_readable(std::optional<Clock::time_point> deadline, const char* what) {
    for (;;) {
      int status;
      {
        py::gil_scoped_release no_gil;
        QuietScope silence(ep->quiet);
        status = ep->link.IfReady(RECEIVER_READ, 1, 0, slice_of(deadline));
      }
      if (status == DL_OK) return;
      check_signals();
      if (status != DL_ERR_TIMEOUT) raise_status(status, what);
      if (remaining(deadline) <= 0) raise_status(DL_ERR_TIMEOUT, what);
    }
  }

  template <typename Intro, typename ReadHeader, typename ReadData>
  py::tuple receive_intro_data(const py::object& buf, std::optional<double> timeout, const py::dtype& dtype,
                               const char* what, ReadHeader read_header, ReadData read_data) {
    Busy busy(*ep);
    auto deadline = deadline_of(timeout);
    if (ep->link.IsLinkActive()) wait_readable(deadline, what);
    Intro intro{};
    int status;
    {
      py::gil_scoped_release no_gil;
      QuietScope silence(ep->quiet);
      status = read_header(ep->link, &intro);
    }
    if (status != DL_OK) {
      check_signals();
      raise_status(status, what);
    }
    const long size = static_cast<long>(intro.intro.length) - static_cast<long>(sizeof(Intro));
    if (size < 0) raise_status(DL_ERR_VALUE, std::string(what) + ": the intro announces less than itself");
    py::array data;
    std::unique_ptr<HeldBuffer> target;
    if (buf.is_none()) {
      data = py::array_t<uint8_t>(size);
    } else {
      target = std::make_unique<HeldBuffer>(buf, true);
      if (target->size() >= static_cast<size_t>(size)) {
        auto whole = py::module_::import("numpy").attr("frombuffer")(buf, py::dtype("u1"));
        data = whole[py::slice(0, size, 1)].cast<py::array>();
      }
    }
    static char nothing;  // a zero-size array may have no data; the library must not allocate
    char* into = target ? target->data() : static_cast<char*>(data.mutable_data());
    if (into == nullptr) into = &nothing;
    int room = target ? static_cast<int>(std::min<size_t>(target->size(), INT32_MAX)) : static_cast<int>(size);
    {
      py::gil_scoped_release no_gil;
      QuietScope silence(ep->quiet);
      status = read_data(ep->link, &intro, &into, room);
    }
    if (status != DL_OK) {
      check_signals();
      raise_status(status, what);
    }
    return py::make_tuple(record_from_bytes(dtype, &intro, sizeof intro), data);
  }

  py::tuple receive_image(const py::object& buf, std::optional<double> timeout) {
    return receive_intro_data<vrq5_image_ext_intro>(
        buf, timeout, dtypes().image_intro, "receive_image",
        [](DataLink& l, vrq5_image_ext_intro* i) { return l.ReceiveImageHeader(i); },
        [](DataLink& l, vrq5_image_ext_intro* i, char** b, int sz) { return l.ReceiveImageData(i, b, sz); });
  }

  py::tuple receive_spectrum(const py::object& buf, std::optional<double> timeout) {
    return receive_intro_data<vrq5_spect_intro>(
        buf, timeout, dtypes().spectrum_intro, "receive_spectrum",
        [](DataLink& l, vrq5_spect_intro* i) { return l.ReceiveSpectHeader(i); },
        [](DataLink& l, vrq5_spect_intro* i, char** b, int sz) { return l.ReceiveSpectData(i, b, sz); });
  }

  void send_request(const py::object& data) {
    Busy busy(*ep);
    HeldBuffer bytes(data, false);
    if (bytes.size() > INT32_MAX) throw py::value_error("a request is shorter than 2 GiB");
    int status;
    {
      py::gil_scoped_release no_gil;
      QuietScope silence(ep->quiet);
      status = ep->link.SendRequest(bytes.data(), static_cast<int>(bytes.size()));
    }
    if (status != DL_OK) {
      check_signals();
      raise_status(status, "send_request");
    }
  }

  void set_retries(int retries) {
    int status = ep->link.SetRetry(retries);
    if (status != DL_OK) raise_status(status, "retries");
    ep->retries = retries;
  }

  void set_socket_buffer(int bytes) {
    int status;
    {
      QuietScope silence(ep->quiet);
      status = ep->link.set_socket_buffer(bytes);
    }
    if (status == DL_ERR_VALUE) raise_status(status, "socket_buffer");
    ep->socket_buffer = bytes;
    if (status != DL_OK) raise_status(status, "socket_buffer: the connection refused the size, kept for later ones");
  }
};

struct Listener {
  std::shared_ptr<Endpoint> ep;

  Listener(int port, bool unix_domain, bool bigend, bool quiet)
      : ep(std::make_shared<Endpoint>(true, bigend, unix_domain, quiet)) {
    int status;
    {
      FamilyScope family(unix_domain);
      QuietScope silence(quiet);
      status = ep->link.SocketSetup(port);
    }
    if (status != DL_OK) {
      ep->released = true;  // nothing to release
      raise_status(status, "Listener(" + std::to_string(port) + ")");
    }
  }

  Link accept() {
    Busy busy(*ep);
    if (ep->released) raise_status(DL_ERR_NOT_SETUP, "accept: the listener is closed");
    int status;
    {
      py::gil_scoped_release no_gil;
      QuietScope silence(ep->quiet);
      status = ep->link.Connect(true);
    }
    if (status != DL_OK) {
      check_signals();
      raise_status(status, "accept");
    }
    ep->forget_block();
    return Link{ep};
  }

  void close() {
    Busy busy(*ep);
    if (ep->released) return;
    int status;
    {
      FamilyScope family(ep->unix_domain);
      QuietScope silence(ep->quiet);
      status = ep->link.SocketRelease();
    }
    ep->released = true;
    if (status != DL_OK) raise_status(status, "Listener.close");
  }
};

Link connect_link(const std::string& host, int port, bool unix_domain, bool quiet) {
  auto ep = std::make_shared<Endpoint>(false, false, unix_domain, quiet);
  int status;
  {
    FamilyScope family(unix_domain);
    py::gil_scoped_release no_gil;
    QuietScope silence(quiet);
    status = ep->link.Connect(host.c_str(), port);
  }
  if (status != DL_OK) {
    check_signals();
    raise_status(status, "connect(" + host + ", " + std::to_string(port) + ")");
  }
  return Link{ep};
}

}  // namespace

PYBIND11_MODULE(datalink, m) {
  m.doc() = R"(Point-to-point event stream links for data acquisition.

A collector listens and accepts one producer at a time::

    with datalink.Listener(5010) as listener, listener.accept() as link:
        for block in link:                # until the producer closes
            print(block.kind, block.number, block.length)

A producer connects and sends units, a header record and any buffers behind it::

    with datalink.connect("localhost", 5010) as link:
        body = numpy.arange(256, dtype=numpy.uint32)
        link.send(datalink.event_header(1, 0, body.nbytes), body)

Failing calls raise LinkError (or one of its subclasses) with the library's
status code. See docs/python.md for a tour.)";

  define_errors(m);
  define_records(m);

  py::class_<RingBuffer>(m, "RingBuffer", R"(A byte ring that a collector fills with received blocks.

It stores bytes, not records: blocks carry their lengths in their headers.
One thread may write while another reads.)")
      .def(py::init<unsigned long>(), py::arg("capacity"), "A ring of capacity bytes.")
      .def(
          "write",
          [](RingBuffer& r, const py::object& data) {
            HeldBuffer bytes(data, false);
            if (bytes.size() > UINT32_MAX) return false;
            auto length = static_cast<unsigned int>(bytes.size());
            py::gil_scoped_release no_gil;
            return static_cast<unsigned int>(r.ring.Write(bytes.data(), length)) == length;
          },
          py::arg("data"),
          "Stores all of data and returns True, or stores nothing and returns False when it does not fit.")
      .def(
          "read",
          [](RingBuffer& r, unsigned int size) {
            // The bytes object is the destination: one copy out of the ring.
            size = std::min<unsigned long>(size, r.ring.bytesUsed());
            PyObject* bytes = PyBytes_FromStringAndSize(nullptr, size);
            if (bytes == nullptr) throw py::error_already_set();
            int got;
            {
              py::gil_scoped_release no_gil;
              got = r.ring.Read(PyBytes_AS_STRING(bytes), size);
            }
            if (static_cast<unsigned int>(got) != size && _PyBytes_Resize(&bytes, got) != 0)
              throw py::error_already_set();
            return py::reinterpret_steal<py::bytes>(bytes);
          },
          py::arg("size"), "Takes up to size bytes, oldest first; empty bytes when the ring is empty.")
      .def(
          "read_into",
          [](RingBuffer& r, const py::object& buffer) {
            HeldBuffer into(buffer, true);
            auto size = static_cast<unsigned int>(std::min<size_t>(into.size(), INT32_MAX));
            py::gil_scoped_release no_gil;
            return r.ring.Read(into.data(), size);
          },
          py::arg("buffer"),
          "Moves up to len(buffer) bytes, oldest first, into a writable buffer and returns how many; 0 when empty.")
      .def_property_readonly(
          "used", [](RingBuffer& r) { return r.ring.bytesUsed(); }, "Bytes held now.")
      .def_property_readonly(
          "size", [](RingBuffer& r) { return r.ring.size(); }, "Capacity in bytes.")
      .def("__len__", [](RingBuffer& r) { return r.ring.bytesUsed(); });

  py::class_<Block>(m, "Block", R"(One received event or slow-data block.

The body is a read-only view of the link's block buffer, without a copy: it is
valid until the next receive on the same link, which releases it (using it
afterwards raises ValueError). Arrays made from it with numpy.frombuffer share
that memory and must not be used after the next receive; keep block.copy(),
or numpy.array(...), to hold the data longer.)")
      .def_property_readonly(
          "kind", [](const Block& b) { return b.kind; }, "\"event\", \"event2024\" or \"slow\".")
      .def_property_readonly(
          "header",
          [](Block& b) {
            if (!b.header_cache) {
              b.check();
              b.header_cache = record_from_bytes(*b.dtype, b.data, b.header_size);
            }
            return b.header_cache;
          },
          "The header record (a copy; EVENT_HEADER_DTYPE, EVENT_HEADER_2024_DTYPE or SLOW_DATA_HEADER_DTYPE).")
      .def_property_readonly(
          "body",
          [](Block& b) -> py::object {
            b.check();
            if (!b.body_cache) {
              auto* view = PyMemoryView_FromMemory(const_cast<char*>(b.data + b.header_size),
                                                   static_cast<Py_ssize_t>(b.length - b.header_size), PyBUF_READ);
              if (view == nullptr) throw py::error_already_set();
              b.body_cache = py::reinterpret_steal<py::object>(view);
              if (!b.owned) b.endpoint->body_view = b.body_cache;
            }
            return b.body_cache;
          },
          "The bytes behind the header as a read-only memoryview (see the class notes on its lifetime).")
      .def_property_readonly(
          "number", [](const Block& b) { return b.number; }, "The header's event number; None for slow data.")
      .def_property_readonly(
          "type", [](const Block& b) { return b.type; }, "The header's event type; None for slow data.")
      .def_property_readonly(
          "length", [](const Block& b) { return b.length; }, "Bytes of the whole block, header included.")
      .def(
          "copy",
          [](const Block& b) {
            b.check();
            Block copy = b;  // kind, dtype, sizes, number and type
            copy.endpoint.reset();
            copy.header_cache = copy.body_cache = py::object();
            copy.owned = std::make_shared<std::vector<char>>(b.data, b.data + b.length);
            copy.data = copy.owned->data();
            return copy;
          },
          "A block that owns a copy of the bytes and stays valid.")
      .def(
          "tobytes",
          [](const Block& b) {
            b.check();
            return py::bytes(b.data, b.length);
          },
          "The whole block, header and body, as bytes.")
      .def("__len__", [](const Block& b) { return b.length; })
      .def("__repr__", [](const Block& b) {
        return "<datalink.Block " + std::string(b.kind) + " length=" + std::to_string(b.length) + ">";
      });

  py::class_<Link>(m, "Link", R"(A connected link, from Listener.accept() or connect().

Blocking calls release the GIL; Ctrl-C interrupts a waiting receive. One thread
at a time may use a link (another gets RuntimeError). As a context manager it
disconnects on exit.)")
      .def("close", &Link::close, "Ends the connection (the listener, if any, stays set up).")
      .def("__enter__", [](Link& l) -> Link& { return l; })
      .def("__exit__", [](Link& l, const py::args&) { l.close(); })
      .def("send", &Link::send, py::arg("header"), py::arg("ack") = false,
           R"(send(header, *body, ack=False)

Sends one unit: header is a record of 36, 48, 12, 8 or 100 bytes (its size
selects the kind) and body any number of buffers (bytes, bytearray,
memoryview, contiguous NumPy arrays), handed to the library's scatter list
without a copy. The header's length field must equal the bytes of header and
body together. ack=True waits for the collector's acknowledgement before the
body and raises NoRoom when the collector has no room.)")
      .def("send_many", &Link::send_many, py::arg("units"), py::kw_only(), py::arg("ack") = false,
           R"(Sends several units in one call without the GIL. Each unit is a tuple or
list (header, *body). Returns the number of units sent; on a failure the
error's message names the unit (counted from 0) and the units before it went out.)")
      .def("receive", &Link::receive, py::arg("ring") = py::none(), py::arg("timeout") = py::none(),
           R"(Receives the next event or slow-data block and returns a Block.

ring: a RingBuffer whose free space decides the acknowledgement (the producer
must send with ack=True); the block is also stored in it. timeout: seconds to
wait for the block to start (None waits without limit). Raises Timeout,
NoRoom, PeerClosed when the producer has closed, or LinkError.)")
      .def("__iter__", [](Link& l) -> Link& { return l; })
      .def("__next__", &Link::next, "The next block; iteration ends when the peer closes.")
      .def("receive_image", &Link::receive_image, py::arg("buf") = py::none(), py::arg("timeout") = py::none(),
           R"(Receives one image and returns (intro, data).

intro is an IMAGE_INTRO_DTYPE record, data a uint8 NumPy array of the image
data: new, or a view of the writable buffer buf when given (NoRoom when it is
too small; the data is then left unread on the link).)")
      .def("receive_spectrum", &Link::receive_spectrum, py::arg("buf") = py::none(), py::arg("timeout") = py::none(),
           "Receives one spectrum and returns (intro, data), as receive_image does, with a SPECTRUM_INTRO_DTYPE intro.")
      .def("send_request", &Link::send_request, py::arg("data"),
           "Writes raw request bytes to the peer, without framing or conversion.")
      .def_property_readonly(
          "swap", [](Link& l) { return l.ep->link.get_swap(); },
          "True when records on this connection are converted between byte orders.")
      .def_property_readonly(
          "peer_closed", [](Link& l) { return l.ep->link.peer_closed(); },
          "True once a read met the end of the stream: the producer has closed.")
      .def_property_readonly(
          "connected", [](Link& l) { return l.ep->link.IsLinkActive() != 0; }, "True while a connection is held.")
      .def_property(
          "retries", [](Link& l) { return l.ep->retries; }, &Link::set_retries,
          "The retry budget of the sending waits (100 ms each, default 10); must be positive.")
      .def_property(
          "socket_buffer", [](Link& l) { return l.ep->socket_buffer; }, &Link::set_socket_buffer,
          "Bytes asked of the kernel for the socket's send and receive buffers (0: the system's sizes).");

  py::class_<Listener>(m, "Listener", R"(Listener(port, *, unix=False, bigend=False, quiet=False)

The listening end of a link, usually the collector. unix selects a UNIX-domain
socket on /tmp/<port>.tcp instead of TCP; bigend announces big-endian order,
so that both ends convert; quiet silences the library's own messages for this
listener and its links. As a context manager it releases the socket (and the
UNIX-domain path) on exit.)")
      .def(py::init<int, bool, bool, bool>(), py::arg("port"), py::kw_only(), py::arg("unix") = false,
           py::arg("bigend") = false, py::arg("quiet") = false)
      .def("accept", &Listener::accept,
           "Waits for a producer and returns the Link. One link at a time: close it before accepting the next.")
      .def("close", &Listener::close, "Ends the connection, closes the socket and removes a UNIX-domain path.")
      .def_property_readonly(
          "port", [](Listener& l) { return l.ep->link.GetLPort(); }, "The port listened on.")
      .def("__enter__", [](Listener& l) -> Listener& { return l; })
      .def("__exit__", [](Listener& l, const py::args&) { l.close(); });

  m.def("connect", &connect_link, py::arg("host"), py::arg("port"), py::kw_only(), py::arg("unix") = false,
        py::arg("quiet") = false,
        R"(Connects to a listener and returns the Link (the calling end, usually the producer).

With unix=True the UNIX-domain socket /tmp/<port>.tcp is used; host must still
resolve. quiet silences the library's own messages for this link.)");
}
