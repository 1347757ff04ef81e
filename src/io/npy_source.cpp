#include "io/npy_source.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "io/byte_stream.h"
#include "io/python_literal.h"

namespace ovk::io {
namespace {

constexpr std::uint8_t kNpyMagic[6] = {0x93, 'N', 'U', 'M', 'P', 'Y'};
// A header or a record larger than these cannot be an event array's.
constexpr std::size_t kMaxHeaderBytes = std::size_t{1} << 16;
constexpr std::uint64_t kMaxRecordBytes = std::uint64_t{1} << 16;
constexpr const char* kFieldNames[4] = {"x", "y", "t", "p"};

using Kind = PyLiteral::Kind;

Error bad(const std::string& why) { return Error(ErrorKind::kInvalidData, "not an event array: " + why); }

std::string quoted(std::string_view text) {
  std::string out(1, '\'');
  out.append(text);
  out.push_back('\'');
  return out;
}

// One dtype as a header writes it: '<u2', '|b1', '>f8', '|V4', '<M8[us]'.
struct NpyType {
  char kind = 0;
  std::uint64_t bytes = 0;
  bool big_endian = false;
};

Result<NpyType> parse_type(std::string_view text) {
  NpyType type;
  std::size_t at = 0;
  if (at < text.size() && (text[at] == '<' || text[at] == '>' || text[at] == '|' || text[at] == '=')) {
    type.big_endian = text[at] == '>' || (text[at] == '=' && std::endian::native == std::endian::big);
    ++at;
  }
  if (at >= text.size()) return bad("an empty field type");
  type.kind = text[at++];
  if (type.kind == 'O') return bad("it holds Python objects, which are never read");
  if (std::string_view("biufcSaUVMm").find(type.kind) == std::string_view::npos) {
    return bad("unknown field type " + quoted(text));
  }
  std::uint64_t n = 0;
  const std::size_t digits = at;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    n = n * 10 + static_cast<std::uint64_t>(text[at] - '0');
    if (n > kMaxRecordBytes) return bad("field type " + quoted(text) + " is too large");
  }
  const bool dated = type.kind == 'M' || type.kind == 'm';
  if (at == digits || (at < text.size() && !(dated && text[at] == '['))) {
    return bad("unknown field type " + quoted(text));
  }
  type.bytes = type.kind == 'U' ? 4 * n : n;
  return type;
}

Result<std::uint64_t> descr_bytes(const PyLiteral& descr, int depth);

// The bytes of one field: its type, or a nested structure, times its
// subarray shape.
Result<std::uint64_t> field_bytes(const PyLiteral& entry, int depth) {
  std::uint64_t bytes = 0;
  if (entry.items[1].kind == Kind::kString) {
    OVK_ASSIGN_OR_RETURN(const NpyType type, parse_type(entry.items[1].text));
    bytes = type.bytes;
  } else {
    OVK_ASSIGN_OR_RETURN(bytes, descr_bytes(entry.items[1], depth + 1));
  }
  if (entry.items.size() == 3) {
    const PyLiteral& shape = entry.items[2];
    const std::vector<PyLiteral> one{shape};
    for (const PyLiteral& n : shape.kind == Kind::kTuple ? shape.items : one) {
      if (n.kind != Kind::kInt || n.number < 0) return bad("a field with a malformed shape");
      if (__builtin_mul_overflow(bytes, static_cast<std::uint64_t>(n.number), &bytes) ||
          bytes > kMaxRecordBytes) {
        return bad("records larger than 64 KiB");
      }
    }
  }
  return bytes;
}

// A field list entry: ('name', type) or ('name', type, shape); a name may
// be a (title, name) pair.
Result<std::string> field_name(const PyLiteral& entry) {
  if (entry.kind != Kind::kTuple || entry.items.size() < 2 || entry.items.size() > 3 ||
      (entry.items[1].kind != Kind::kString && entry.items[1].kind != Kind::kList)) {
    return bad("a malformed field in 'descr'");
  }
  const PyLiteral& name = entry.items[0];
  if (name.kind == Kind::kString) return name.text;
  if (name.kind == Kind::kTuple && name.items.size() == 2 && name.items[1].kind == Kind::kString) {
    return name.items[1].text;
  }
  return bad("a field name that is not a string");
}

Result<std::uint64_t> descr_bytes(const PyLiteral& descr, int depth) {
  if (descr.kind != Kind::kList || depth > 4) return bad("a malformed 'descr'");
  std::uint64_t total = 0;
  for (const PyLiteral& entry : descr.items) {
    if (const Result<std::string> name = field_name(entry); !name.ok()) return name.error();
    OVK_ASSIGN_OR_RETURN(const std::uint64_t bytes, field_bytes(entry, depth));
    total += bytes;
    if (total > kMaxRecordBytes) return bad("records larger than 64 KiB");
  }
  return total;
}

// The event field of one descr entry, at `offset`, checked for a type the
// reader takes.
Result<NpyField> event_field(const PyLiteral& entry, const std::string& name, std::uint64_t offset,
                             int role) {
  const bool plain = entry.items[1].kind == Kind::kString &&
                     (entry.items.size() == 2 ||
                      (entry.items[2].kind == Kind::kTuple && entry.items[2].items.empty()));
  if (!plain) return bad("field " + quoted(name) + " is not a single number");
  OVK_ASSIGN_OR_RETURN(const NpyType type, parse_type(entry.items[1].text));
  const bool integer = type.kind == 'i' || type.kind == 'u' || (type.kind == 'b' && role == 3);
  if (!integer || (type.bytes != 1 && type.bytes != 2 && type.bytes != 4 && type.bytes != 8)) {
    return bad("field " + quoted(name) + " is " + quoted(entry.items[1].text) +
               "; x, y, t and p must be integers of 1, 2, 4 or 8 bytes (p may be a bool)");
  }
  return NpyField{static_cast<std::uint32_t>(offset), static_cast<std::uint8_t>(type.bytes),
                  type.kind == 'i', type.big_endian};
}

Error plain_array(const PyLiteral& descr) {
  return bad("a plain array of " + quoted(descr.text) +
             ", not a structured array with fields x, y, t and p");
}

// Finds the x, y, t and p fields of a structured dtype's field list.
Status find_fields(const PyLiteral& descr, NpyEventLayout& layout) {
  if (descr.kind == Kind::kString) return plain_array(descr);
  OVK_ASSIGN_OR_RETURN(const std::uint64_t record, descr_bytes(descr, 0));
  std::array<std::string, 4> names;
  std::uint64_t offset = 0;
  for (const PyLiteral& entry : descr.items) {
    OVK_ASSIGN_OR_RETURN(const std::string name, field_name(entry));
    const int role = name.empty() ? -1 : event_field_role(name);
    if (role >= 0) {
      const auto r = static_cast<std::size_t>(role);
      if (!names[r].empty()) {
        return bad("fields " + quoted(names[r]) + " and " + quoted(name) + " both hold " +
                   kFieldNames[r]);
      }
      names[r] = name;
      OVK_ASSIGN_OR_RETURN(layout.fields[r], event_field(entry, name, offset, role));
    }
    OVK_ASSIGN_OR_RETURN(const std::uint64_t bytes, field_bytes(entry, 0));
    offset += bytes;
  }
  for (std::size_t r = 0; r < 4; ++r) {
    if (names[r].empty()) return bad(std::string("no field holds ") + kFieldNames[r]);
  }
  layout.record_bytes = static_cast<std::size_t>(record);
  return Ok{};
}

Result<std::uint64_t> one_dimension(const PyLiteral* shape) {
  if (shape == nullptr || shape->kind != Kind::kTuple || shape->items.size() != 1 ||
      shape->items[0].kind != Kind::kInt || shape->items[0].number < 0) {
    return bad("the array is not one-dimensional");
  }
  return static_cast<std::uint64_t>(shape->items[0].number);
}

// Reads one field of the record at `at` as its 64 bits, sign extended.
inline std::uint64_t field_value(const std::uint8_t* at, const NpyField& f) noexcept {
  std::uint64_t v = 0;
  at += f.offset;
  switch (f.bytes) {
    case 1:
      v = at[0];
      break;
    case 2: {
      std::uint16_t u;
      std::memcpy(&u, at, 2);
      if (f.big_endian) u = static_cast<std::uint16_t>((u >> 8) | (u << 8));
      v = u;
      break;
    }
    case 4: {
      std::uint32_t u;
      std::memcpy(&u, at, 4);
      v = f.big_endian ? __builtin_bswap32(u) : u;
      break;
    }
    default:
      std::memcpy(&v, at, 8);
      if (f.big_endian) v = __builtin_bswap64(v);
      break;
  }
  if (f.is_signed && f.bytes < 8) {
    const unsigned shift = 64 - 8 * f.bytes;
    v = static_cast<std::uint64_t>(static_cast<std::int64_t>(v << shift) >> shift);
  }
  return v;
}

bool negative(std::uint64_t v, const NpyField& f) noexcept {
  return f.is_signed && static_cast<std::int64_t>(v) < 0;
}

// True when `v` is a value event field `role` takes.
bool fits(std::uint64_t v, const NpyField& f, int role) noexcept {
  switch (role) {
    case 0:
    case 1:
      return v <= 0xFFFF;
    case 2:
      return !negative(v, f);
    default:
      return v <= 0xFF;
  }
}

Error bad_value(std::string_view what, std::uint64_t event, std::uint64_t v, const NpyField& f,
                int role) {
  const std::string shown =
      negative(v, f) ? std::to_string(static_cast<std::int64_t>(v)) : std::to_string(v);
  const std::string at = std::string(what) + " event " + std::to_string(event) + ": ";
  switch (role) {
    case 0:
    case 1:
      return Error(ErrorKind::kInvalidData,
                   at + kFieldNames[role] + " " + shown + " is outside the 16-bit range");
    case 2:
      return Error(ErrorKind::kInvalidData, at + "t " + shown + " is negative");
    default:
      return Error(ErrorKind::kInvalidData, at + "polarity " + shown + " is not 0..255");
  }
}

void store(Event64& e, std::uint64_t v, int role) noexcept {
  switch (role) {
    case 0:
      e.x = static_cast<std::uint16_t>(v);
      break;
    case 1:
      e.y = static_cast<std::uint16_t>(v);
      break;
    case 2:
      e.t = v;
      break;
    default:
      e.p = static_cast<std::uint8_t>(v);
      break;
  }
}

class NpySource final : public SpentAfterError {
 public:
  NpySource(ByteStream stream, NpyEventLayout layout)
      : SpentAfterError("npy"), stream_(std::move(stream)), layout_(layout) {}

 private:
  Status fill_block(Event64Vec& block) override {
    block.clear();
    const std::uint64_t n = std::min<std::uint64_t>(kSourceBlockEvents, layout_.count - done_);
    if (n == 0) return expect_end();
    block.resize(static_cast<std::size_t>(n));
    const std::size_t record = layout_.record_bytes;
    std::size_t i = 0;
    while (i < block.size()) {
      OVK_ASSIGN_OR_RETURN(const std::span<const std::uint8_t> bytes, stream_.fill(record));
      if (bytes.size() < record) {
        return bad("the file ends after " + std::to_string(done_ + i) + " of its " +
                   std::to_string(layout_.count) + " records");
      }
      const std::size_t whole = std::min(block.size() - i, bytes.size() / record);
      OVK_RETURN_IF_ERROR(decode_npy_records(bytes.data(), layout_, std::span(block).subspan(i, whole),
                                             done_ + i, "npy"));
      stream_.consume(whole * record);
      i += whole;
    }
    done_ += n;
    return Ok{};
  }

  // After the last record a stream must end; a regular file's size was
  // checked when it was opened.
  Status expect_end() {
    OVK_ASSIGN_OR_RETURN(const std::span<const std::uint8_t> rest, stream_.fill(1));
    if (!rest.empty()) {
      return bad("more bytes follow the " + std::to_string(layout_.count) + " records its header states");
    }
    return Ok{};
  }

  ByteStream stream_;
  NpyEventLayout layout_;
  std::uint64_t done_ = 0;
};

}  // namespace

bool looks_like_npy(std::span<const std::uint8_t> head) noexcept {
  return head.size() >= sizeof kNpyMagic && std::equal(std::begin(kNpyMagic), std::end(kNpyMagic), head.begin());
}

std::size_t npy_header_bytes(std::span<const std::uint8_t> head) noexcept {
  if (head.size() < 12 || !looks_like_npy(head)) return 0;
  const std::size_t length = head[6] == 1 ? load_le16(head.data() + 8) : load_le32(head.data() + 8);
  return (head[6] == 1 ? 10 : 12) + std::min(length, kMaxHeaderBytes);
}

Result<NpyArray> parse_npy_array_header(std::span<const std::uint8_t> head) {
  if (head.size() < 10 || !looks_like_npy(head)) return bad("no .npy magic");
  const unsigned major = head[6];
  std::size_t length = 0;
  std::size_t start = 0;
  if (major == 1) {
    length = load_le16(head.data() + 8);
    start = 10;
  } else if (major == 2 || major == 3) {
    if (head.size() < 12) return bad("header cut short");
    length = load_le32(head.data() + 8);
    start = 12;
  } else {
    return bad("unknown .npy version " + std::to_string(major));
  }
  if (length > kMaxHeaderBytes) return bad("a header over 64 KiB");
  if (head.size() - start < length) return bad("header cut short");
  const std::string_view text(reinterpret_cast<const char*>(head.data()) + start, length);
  Result<PyLiteral> header = parse_python_literal(text);
  if (!header.ok()) return bad("the header is not a Python literal (" + header.error().message() + ")");
  if (header.value().kind != Kind::kDict) return bad("the header is not a dictionary");
  const PyLiteral* descr = header.value().find("descr");
  if (descr == nullptr) return bad("the header has no 'descr'");
  NpyArray array;
  array.data_offset = start + length;
  Result<std::uint64_t> count = one_dimension(header.value().find("shape"));
  if (!count.ok() && descr->kind == Kind::kString) return plain_array(*descr);
  OVK_ASSIGN_OR_RETURN(array.count, std::move(count));
  array.descr = *descr;
  return array;
}

Result<NpyEventLayout> event_layout(const NpyArray& array) {
  NpyEventLayout layout;
  layout.data_offset = array.data_offset;
  layout.count = array.count;
  OVK_RETURN_IF_ERROR(find_fields(array.descr, layout));
  std::uint64_t data_bytes = 0;
  if (__builtin_mul_overflow(layout.count, std::uint64_t{layout.record_bytes}, &data_bytes)) {
    return bad("the shape states more bytes than a file can hold");
  }
  return layout;
}

Result<NpyEventLayout> parse_npy_event_header(std::span<const std::uint8_t> head) {
  OVK_ASSIGN_OR_RETURN(const NpyArray array, parse_npy_array_header(head));
  return event_layout(array);
}

Result<NpyField> event_column(const NpyArray& array, int role, std::string_view name) {
  if (array.descr.kind != Kind::kString) return bad("array " + quoted(name) + " is not a plain array");
  PyLiteral entry;
  entry.kind = Kind::kTuple;
  entry.items.resize(2);
  entry.items[0].kind = entry.items[1].kind = Kind::kString;
  entry.items[0].text = name;
  entry.items[1].text = array.descr.text;
  return event_field(entry, std::string(name), 0, role);
}

Status decode_npy_records(const std::uint8_t* records, const NpyEventLayout& layout,
                          std::span<Event64> out, std::uint64_t first, std::string_view what) {
  const auto& [fx, fy, ft, fp] = layout.fields;
  for (std::size_t k = 0; k < out.size(); ++k, records += layout.record_bytes) {
    const std::uint64_t v[4] = {field_value(records, fx), field_value(records, fy),
                                field_value(records, ft), field_value(records, fp)};
    if (v[0] > 0xFFFF || v[1] > 0xFFFF || negative(v[2], ft) || v[3] > 0xFF) {
      for (int role = 0; role < 4; ++role) {
        const NpyField& f = layout.fields[static_cast<std::size_t>(role)];
        if (!fits(v[role], f, role)) return bad_value(what, first + k, v[role], f, role);
      }
    }
    out[k] = Event64{static_cast<std::uint16_t>(v[0]), static_cast<std::uint16_t>(v[1]), v[2],
                     static_cast<std::uint8_t>(v[3])};
  }
  return Ok{};
}

Status decode_npy_column(const std::uint8_t* values, const NpyField& field, int role,
                         std::span<Event64> out, std::uint64_t first, std::string_view what) {
  for (std::size_t k = 0; k < out.size(); ++k, values += field.bytes) {
    const std::uint64_t v = field_value(values, field);
    if (!fits(v, field, role)) return bad_value(what, first + k, v, field, role);
    store(out[k], v, role);
  }
  return Ok{};
}

Result<SourcePtr> open_npy_source(std::string_view path, const ReaderOptions&) {
  OVK_ASSIGN_OR_RETURN(ByteStream stream, ByteStream::open(path));
  OVK_ASSIGN_OR_RETURN(std::span<const std::uint8_t> head, stream.fill(12));
  if (const std::size_t bytes = npy_header_bytes(head); bytes > head.size()) {
    OVK_ASSIGN_OR_RETURN(head, stream.fill(bytes));
  }
  OVK_ASSIGN_OR_RETURN(const NpyEventLayout layout, parse_npy_event_header(head));
  if (const std::optional<std::uint64_t> size = stream.regular_size()) {
    const std::uint64_t data = *size - std::min<std::uint64_t>(*size, layout.data_offset);
    if (*size < layout.data_offset || data / layout.record_bytes != layout.count ||
        data % layout.record_bytes != 0) {
      return bad("the header states " + std::to_string(layout.count) + " records of " +
                 std::to_string(layout.record_bytes) + " bytes, the file holds " +
                 std::to_string(data) + " bytes after it");
    }
  }
  stream.consume(layout.data_offset);
  return SourcePtr(std::make_unique<NpySource>(std::move(stream), layout));
}

}  // namespace ovk::io
