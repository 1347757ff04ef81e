#include "io/formats/npz_reader.h"

#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "io/event_sources.h"
#include "io/file_access.h"
#include "io/npy_source.h"

namespace ovk::io {
namespace {

constexpr zip_int64_t kMostMembers = 1 << 16;
constexpr std::size_t kReadBytes = std::size_t{1} << 20;
constexpr std::size_t kNamesShown = 8;

Error bad(const std::string& why) {
  return Error(ErrorKind::kInvalidData, "not an event archive: " + why);
}

std::string quoted(std::string_view text) {
  std::string out(1, '\'');
  out.append(text);
  out.push_back('\'');
  return out;
}

struct ArchiveCloser {
  void operator()(zip_t* archive) const noexcept { zip_discard(archive); }
};
struct MemberCloser {
  void operator()(zip_file_t* file) const noexcept { zip_fclose(file); }
};
using Archive = std::unique_ptr<zip_t, ArchiveCloser>;

// One member of the archive, read front to back.
class Member {
 public:
  static Result<Member> open(zip_t* archive, zip_uint64_t index, std::string name) {
    zip_stat_t info;
    zip_stat_init(&info);
    if (zip_stat_index(archive, index, 0, &info) != 0 || (info.valid & ZIP_STAT_SIZE) == 0) {
      return failure(name, zip_strerror(archive));
    }
    zip_file_t* file = zip_fopen_index(archive, index, 0);
    if (file == nullptr) return failure(name, zip_strerror(archive));
    return Member(std::unique_ptr<zip_file_t, MemberCloser>(file), std::move(name), info.size);
  }

  const std::string& name() const noexcept { return name_; }
  std::uint64_t size() const noexcept { return size_; }

  // Reads exactly out.size() bytes.
  Status read(std::span<std::uint8_t> out) {
    while (!out.empty()) {
      const zip_int64_t got = zip_fread(file_.get(), out.data(), out.size());
      if (got < 0) return failure(name_, zip_file_strerror(file_.get()));
      if (got == 0) return failure(name_, "it ends early");
      out = out.subspan(static_cast<std::size_t>(got));
    }
    return Ok{};
  }

  // Reads whatever is left, up to the end, where libzip checks the member's
  // CRC.
  Status read_to_end() {
    std::array<std::uint8_t, 4096> scratch;
    for (zip_int64_t got = 1; got > 0;) {
      got = zip_fread(file_.get(), scratch.data(), scratch.size());
      if (got < 0) return failure(name_, zip_file_strerror(file_.get()));
    }
    return Ok{};
  }

  // The bytes of the member's .npy header, as far as its size allows.
  Result<std::vector<std::uint8_t>> header_bytes() {
    std::vector<std::uint8_t> head(static_cast<std::size_t>(std::min<std::uint64_t>(size_, 12)));
    OVK_RETURN_IF_ERROR(read(head));
    const std::size_t bytes = npy_header_bytes(head);
    if (bytes > head.size() && bytes <= size_) {
      const std::size_t had = head.size();
      head.resize(bytes);
      OVK_RETURN_IF_ERROR(read(std::span(head).subspan(had)));
    }
    return head;
  }

  // The data's bytes must be the header's count of `item` bytes.
  Status check_size(const NpyArray& array, std::size_t item) const {
    const std::uint64_t data = size_ - std::min<std::uint64_t>(size_, array.data_offset);
    if (data / item != array.count || data % item != 0) {
      return bad("member " + quoted(name_) + ": the header states " + std::to_string(array.count) +
                 " values of " + std::to_string(item) + " bytes, the member holds " +
                 std::to_string(data) + " bytes after it");
    }
    return Ok{};
  }

 private:
  Member(std::unique_ptr<zip_file_t, MemberCloser> file, std::string name, std::uint64_t size)
      : file_(std::move(file)), name_(std::move(name)), size_(size) {}

  static Error failure(const std::string& name, const char* why) {
    return Error(ErrorKind::kInvalidData, "member " + quoted(name) + ": " + why);
  }

  std::unique_ptr<zip_file_t, MemberCloser> file_;
  std::string name_;
  std::uint64_t size_ = 0;
};

// A member that holds events, with what the survey learnt of it: the layout
// of a structured member, or the field of a column.
struct Found {
  zip_uint64_t index = 0;
  std::string name;
  NpyArray array;
  NpyEventLayout layout;
  NpyField field;
};

// A member opened again at its data, past the header.
Result<Member> member_at_data(zip_t* archive, const Found& found) {
  OVK_ASSIGN_OR_RETURN(Member member, Member::open(archive, found.index, found.name));
  std::vector<std::uint8_t> header(found.array.data_offset);
  OVK_RETURN_IF_ERROR(member.read(header));
  return member;
}

// The events of either one structured member or four column members.
class NpzSource final : public SpentAfterError {
 public:
  NpzSource(Archive archive, std::vector<Member> members, std::uint64_t count,
            std::optional<NpyEventLayout> records, std::array<NpyField, 4> columns)
      : SpentAfterError("npz"),
        archive_(std::move(archive)),
        members_(std::move(members)),
        count_(count),
        records_(records),
        columns_(columns) {}

 private:
  Status fill_block(Event64Vec& block) override {
    block.clear();
    const std::uint64_t n = std::min<std::uint64_t>(kSourceBlockEvents, count_ - done_);
    if (n == 0) {
      if (!ended_) {
        for (Member& member : members_) OVK_RETURN_IF_ERROR(member.read_to_end());
      }
      ended_ = true;
      return Ok{};
    }
    block.resize(static_cast<std::size_t>(n));
    if (records_) {
      OVK_RETURN_IF_ERROR(read_records(block));
    } else {
      for (int role = 0; role < 4; ++role) OVK_RETURN_IF_ERROR(read_column(block, role));
    }
    done_ += n;
    return Ok{};
  }

  Status read_records(std::span<Event64> block) {
    const std::size_t record = records_->record_bytes;
    const std::size_t step = std::max<std::size_t>(1, kReadBytes / record);
    for (std::size_t i = 0; i < block.size(); i += step) {
      const std::size_t k = std::min(step, block.size() - i);
      buffer_.resize(k * record);
      OVK_RETURN_IF_ERROR(members_[0].read(buffer_));
      OVK_RETURN_IF_ERROR(
          decode_npy_records(buffer_.data(), *records_, block.subspan(i, k), done_ + i, "npz"));
    }
    return Ok{};
  }

  Status read_column(std::span<Event64> block, int role) {
    const NpyField& field = columns_[static_cast<std::size_t>(role)];
    buffer_.resize(block.size() * field.bytes);
    OVK_RETURN_IF_ERROR(members_[static_cast<std::size_t>(role)].read(buffer_));
    return decode_npy_column(buffer_.data(), field, role, block, done_, "npz");
  }

  Archive archive_;
  std::vector<Member> members_;
  std::uint64_t count_ = 0;
  std::optional<NpyEventLayout> records_;
  std::array<NpyField, 4> columns_{};
  std::uint64_t done_ = 0;
  bool ended_ = false;
  std::vector<std::uint8_t> buffer_;
};

// What the members hold: structured event arrays, and columns by field.
struct Survey {
  std::vector<std::string> names;
  std::vector<Found> structured;
  std::array<std::optional<Found>, 4> columns;
};

Status survey_member(zip_t* archive, zip_uint64_t index, const std::string& name, Survey& survey) {
  static constexpr std::string_view kSuffix = ".npy";
  if (name.size() <= kSuffix.size() || !name.ends_with(kSuffix)) return Ok{};
  OVK_ASSIGN_OR_RETURN(Member member, Member::open(archive, index, name));
  OVK_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> head, member.header_bytes());
  Result<NpyArray> array = parse_npy_array_header(head);
  // Not an array, or one of another shape; unless its CRC says it was damaged.
  if (!array.ok()) return member.read_to_end();
  const std::string key = name.substr(0, name.size() - kSuffix.size());
  if (array.value().descr.kind != PyLiteral::Kind::kString) {
    Result<NpyEventLayout> layout = event_layout(array.value());
    if (layout.ok()) {
      survey.structured.push_back({index, name, std::move(array.value()), layout.value(), {}});
    }
    return Ok{};
  }
  const int role = event_field_role(key);
  if (role < 0) return Ok{};
  std::optional<Found>& slot = survey.columns[static_cast<std::size_t>(role)];
  if (slot) {
    return bad("members " + quoted(slot->name) + " and " + quoted(name) + " both hold " +
               std::string(1, "xytp"[role]));
  }
  OVK_ASSIGN_OR_RETURN(const NpyField field, event_column(array.value(), role, key));
  OVK_RETURN_IF_ERROR(member.check_size(array.value(), field.bytes));
  slot = Found{index, name, std::move(array.value()), {}, field};
  return Ok{};
}

std::string listed(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size() && i < kNamesShown; ++i) {
    text += (i == 0 ? "" : ", ") + quoted(names[i]);
  }
  if (names.size() > kNamesShown) {
    text += ", and " + std::to_string(names.size() - kNamesShown) + " more";
  }
  return names.empty() ? "none" : text;
}

Result<SourcePtr> structured_source(Archive archive, const Found& found) {
  OVK_ASSIGN_OR_RETURN(Member member, member_at_data(archive.get(), found));
  OVK_RETURN_IF_ERROR(member.check_size(found.array, found.layout.record_bytes));
  std::vector<Member> members;
  members.push_back(std::move(member));
  return SourcePtr(std::make_unique<NpzSource>(std::move(archive), std::move(members),
                                               found.layout.count, found.layout,
                                               std::array<NpyField, 4>{}));
}

Result<SourcePtr> column_source(Archive archive, const Survey& survey) {
  std::array<NpyField, 4> fields{};
  std::vector<Member> members;
  const Found& first = *survey.columns[0];
  for (int role = 0; role < 4; ++role) {
    const Found& found = *survey.columns[static_cast<std::size_t>(role)];
    if (found.array.count != first.array.count) {
      return bad("member " + quoted(found.name) + " holds " + std::to_string(found.array.count) +
                 " values, " + quoted(first.name) + " " + std::to_string(first.array.count));
    }
    fields[static_cast<std::size_t>(role)] = found.field;
    OVK_ASSIGN_OR_RETURN(Member member, member_at_data(archive.get(), found));
    members.push_back(std::move(member));
  }
  return SourcePtr(std::make_unique<NpzSource>(std::move(archive), std::move(members),
                                               first.array.count, std::nullopt, fields));
}

// Opens the archive without waiting on a FIFO's writer: a path that is not
// a regular file is refused before it is opened.
Result<Archive> open_archive(std::string_view path) {
  constexpr const char* kByPosition =
      "a .npz archive is read by position: give a regular file, not a FIFO or device";
  struct stat info{};
  if (path.find('\0') == std::string_view::npos && ::stat(std::string(path).c_str(), &info) == 0 &&
      !S_ISREG(info.st_mode)) {
    return Error(ErrorKind::kInvalidInput, kByPosition);
  }
  OVK_ASSIGN_OR_RETURN(FileHandle file, open_for_reading(path));
  if (::fstat(file.fd(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return Error(ErrorKind::kInvalidInput, kByPosition);
  }
  int code = 0;
  zip_t* opened = zip_fdopen(file.fd(), ZIP_CHECKCONS, &code);
  if (opened == nullptr) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    const std::string why = zip_error_strerror(&error);
    zip_error_fini(&error);
    return Error(code == ZIP_ER_MEMORY ? ErrorKind::kOutOfMemory : ErrorKind::kInvalidData,
                 "not a .npz archive: " + why);
  }
  static_cast<void>(file.release());  // the archive owns it now
  return Archive(opened);
}

}  // namespace

Result<std::unique_ptr<EventSource>> open_npz(std::string_view path) {
  OVK_ASSIGN_OR_RETURN(Archive archive, open_archive(path));
  zip_t* opened = archive.get();
  const zip_int64_t count = zip_get_num_entries(opened, 0);
  if (count > kMostMembers) return bad(std::to_string(count) + " members");
  Survey survey;
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* member = zip_get_name(opened, static_cast<zip_uint64_t>(i), 0);
    if (member == nullptr) continue;
    survey.names.emplace_back(member);
    OVK_RETURN_IF_ERROR(survey_member(opened, static_cast<zip_uint64_t>(i), member, survey));
  }
  if (survey.structured.size() > 1) {
    return bad("members " + quoted(survey.structured[0].name) + " and " +
               quoted(survey.structured[1].name) + " both hold events");
  }
  if (survey.structured.size() == 1) {
    return structured_source(std::move(archive), survey.structured[0]);
  }
  if (std::all_of(survey.columns.begin(), survey.columns.end(),
                  [](const auto& column) { return column.has_value(); })) {
    return column_source(std::move(archive), survey);
  }
  return bad("no member holds events: an array with fields x, y, t and p, or arrays x, y, t and p "
             "(members: " + listed(survey.names) + ")");
}

}  // namespace ovk::io
