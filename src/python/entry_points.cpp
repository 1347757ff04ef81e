#include "python/entry_points.h"

#include <array>
#include <cerrno>
#include <span>
#include <string_view>
#include <utility>

#include "codec/compress.h"
#include "codec/event_stats.h"
#include "io/file_access.h"
#include "io/recording_readers.h"
#include "python/arg_binder.h"
#include "python/conversions.h"
#include "python/event_type.h"
#include "python/result_type.h"

namespace ovk::python {
namespace {

constexpr std::string_view kCompressParams[] = {"events", "width", "height", "time_bins",
                                                "max_depth"};
constexpr std::string_view kSequenceParams[] = {"events",    "width",     "height",
                                                "time_bins", "max_depth", "n_frames"};
constexpr std::string_view kEventsParams[] = {"events"};
constexpr std::string_view kPathParams[] = {"path"};

constexpr ArgSpec kCompressSpec{
    .function_name = "compress", .positional = kCompressParams, .required_positional = 5};
constexpr ArgSpec kSequenceSpec{
    .function_name = "compress_sequence", .positional = kSequenceParams, .required_positional = 6};
constexpr ArgSpec kEventStatsSpec{
    .function_name = "event_stats", .positional = kEventsParams, .required_positional = 1};
constexpr ArgSpec kLoadNmnistSpec{
    .function_name = "load_nmnist", .positional = kPathParams, .required_positional = 1};
constexpr ArgSpec kLoadAedat2Spec{
    .function_name = "load_aedat2", .positional = kPathParams, .required_positional = 1};
constexpr ArgSpec kLoadCsvSpec{
    .function_name = "load_csv", .positional = kPathParams, .required_positional = 1};
constexpr ArgSpec kLoadEventsSpec{
    .function_name = "load_events", .positional = kPathParams, .required_positional = 1};

// Gives a buffer's memory back now rather than at the end of the scope.
template <class Buffer>
void release_buffer(Buffer& buffer) noexcept {
  Buffer().swap(buffer);
}

// The codec fails only when one of its buffers cannot be allocated.
ModuleError codec_failure(const Error& error) {
  if (error.kind() != ErrorKind::kOutOfMemory) {
    OVK_FAULT("unexpected codec failure: " + error.message());
  }
  return ModuleError::with_message(PyExc_MemoryError, error.message());
}

PyRef new_pair(PyRef first, PyRef second) {
  PyRef pair = new_tuple(2);
  PyTuple_SET_ITEM(pair.get(), 0, first.release());
  PyTuple_SET_ITEM(pair.get(), 1, second.release());
  return pair;
}

PyRef new_range(long low, long high) { return new_pair(new_int(low), new_int(high)); }

struct CodecArgs {
  EventVec events;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::uint16_t time_bins = 0;
  std::uint8_t max_depth = 0;
};

// Converts the five parameters shared by compress and compress_sequence.
Outcome<CodecArgs> convert_codec_args(std::span<PyObject* const> slots) {
  CodecArgs args;
  OVK_ASSIGN_OR_RETURN(args.events, to_events(slots[0]));
  OVK_ASSIGN_OR_RETURN(args.width, to_u16(slots[1], "width"));
  OVK_ASSIGN_OR_RETURN(args.height, to_u16(slots[2], "height"));
  OVK_ASSIGN_OR_RETURN(args.time_bins, to_u16(slots[3], "time_bins"));
  OVK_ASSIGN_OR_RETURN(args.max_depth, to_u8(slots[4], "max_depth"));
  return args;
}

using Reader = Result<EventVec> (*)(std::string_view path, const io::Interruptions& interrupts);

// A blocked open or read that a signal interrupts runs the interpreter's
// signal handlers, as Python's own open() does: a handler that raises (Ctrl-C
// raising KeyboardInterrupt) ends the load with its exception pending.
class PythonSignalHandlers final : public io::Interruptions {
 public:
  Status on_interrupt() const override {
    if (PyErr_CheckSignals() == 0) return Ok{};
    return io::os_error(EINTR);
  }
};

PyObject* load_with(const ArgSpec& params, Reader reader, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
  return guarded_call([&]() -> Outcome<PyRef> {
    std::array<PyObject*, 1> slots{};
    OVK_PY_RETURN_IF_ERROR(bind_fastcall(params, args, nargs, kwnames, slots));
    OVK_ASSIGN_OR_RETURN(const std::string_view path, to_text(slots[0], "path"));
    const Result<EventVec> events = reader(path, PythonSignalHandlers());
    if (!events.ok()) {
      // A signal handler's exception ends the load as it is.
      if (PyErr_Occurred() != nullptr) return ModuleError::fetch();
      // Every other loader failure is the built-in OSError itself, message only.
      return ModuleError::with_message(PyExc_OSError, events.error().message());
    }
    return events_to_list(events.value());
  });
}

}  // namespace

PyObject* compress_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return guarded_call([&]() -> Outcome<PyRef> {
    std::array<PyObject*, 5> slots{};
    OVK_PY_RETURN_IF_ERROR(bind_fastcall(kCompressSpec, args, nargs, kwnames, slots));
    OVK_ASSIGN_OR_RETURN(CodecArgs in, convert_codec_args(slots));
    Result<CompressOutput> coded =
        compress_events(in.events, in.width, in.height, in.time_bins, in.max_depth);
    release_buffer(in.events);
    if (!coded.ok()) return codec_failure(coded.error());
    CompressOutput& out = coded.value();
    PyRef bitstream = new_bytes(out.bitstream);
    release_buffer(out.bitstream);
    OVK_ASSIGN_OR_RETURN(PyRef result, make_compression_result(out.record));
    return new_pair(std::move(bitstream), std::move(result));
  });
}

PyObject* compress_sequence_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
  return guarded_call([&]() -> Outcome<PyRef> {
    std::array<PyObject*, 6> slots{};
    OVK_PY_RETURN_IF_ERROR(bind_fastcall(kSequenceSpec, args, nargs, kwnames, slots));
    OVK_ASSIGN_OR_RETURN(CodecArgs in, convert_codec_args(std::span(slots).first(5)));
    OVK_ASSIGN_OR_RETURN(const std::uint64_t n_frames, to_u64(slots[5], "n_frames"));
    Result<SequenceOutput> coded =
        compress_sequence(in.events, in.width, in.height, in.time_bins, in.max_depth, n_frames);
    release_buffer(in.events);
    if (!coded.ok()) return codec_failure(coded.error());
    SequenceOutput& out = coded.value();
    PyRef frames = new_list(static_cast<Py_ssize_t>(out.frame_codes.size()));
    for (std::size_t i = 0; i < out.frame_codes.size(); ++i) {
      PyList_SET_ITEM(frames.get(), static_cast<Py_ssize_t>(i),
                      new_bytes(out.frame_codes[i]).release());
      release_buffer(out.frame_codes[i]);
    }
    release_buffer(out.frame_codes);
    OVK_ASSIGN_OR_RETURN(PyRef result, make_compression_result(out.record));
    return new_pair(std::move(frames), std::move(result));
  });
}

PyObject* event_stats_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return guarded_call([&]() -> Outcome<PyRef> {
    std::array<PyObject*, 1> slots{};
    OVK_PY_RETURN_IF_ERROR(bind_fastcall(kEventStatsSpec, args, nargs, kwnames, slots));
    OVK_ASSIGN_OR_RETURN(EventVec events, to_events(slots[0]));
    const std::optional<EventStats> stats = event_stats(events);
    release_buffer(events);
    if (!stats) return PyRef::borrow(Py_None);
    const std::pair<const char*, PyRef> items[] = {
        {"count", new_u64(stats->count)},
        {"x_range", new_range(stats->x_min, stats->x_max)},
        {"y_range", new_range(stats->y_min, stats->y_max)},
        {"t_range", new_range(stats->t_min, stats->t_max)},
        {"duration_us", new_int(stats->duration_us)},
    };
    PyRef dict = checked(PyDict_New());
    for (const auto& [key, value] : items) {
      const PyRef key_object = new_str(key);
      if (PyDict_SetItem(dict.get(), key_object.get(), value.get()) < 0) {
        return ModuleError::fetch();
      }
    }
    return dict;
  });
}

PyObject* load_nmnist_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return load_with(kLoadNmnistSpec, &io::read_nmnist, args, nargs, kwnames);
}

PyObject* load_aedat2_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return load_with(kLoadAedat2Spec, &io::read_aedat2, args, nargs, kwnames);
}

PyObject* load_csv_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return load_with(kLoadCsvSpec, &io::read_csv, args, nargs, kwnames);
}

PyObject* load_events_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return load_with(kLoadEventsSpec, &io::load_events, args, nargs, kwnames);
}

}  // namespace ovk::python
