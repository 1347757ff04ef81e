#include "cli/baselines.h"

#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace ovk::cli {
namespace {

constexpr int kZstdFastLevel = 3;
constexpr int kZstdStrongLevel = 19;
constexpr std::uint32_t kXzPreset = 6;
constexpr int kZlibLevel = 6;

constexpr std::array<Baseline, 4> kAllBaselines{Baseline::kZstd3, Baseline::kZstd19, Baseline::kXz,
                                                Baseline::kZlib};

Error library_error(std::string_view library, std::string_view what) {
  return Error(ErrorKind::kInvalidData, std::string(library) + " failed: " + std::string(what));
}

// Output goes through this buffer and is only counted.
constexpr std::size_t kOutputBuffer = std::size_t{1} << 16;

}  // namespace

// One library's streaming encoder; the compressed bytes are counted.
class BaselineStream::Coder {
 public:
  virtual ~Coder() = default;
  [[nodiscard]] virtual Status add(std::span<const std::uint8_t> in) = 0;
  // The compressed size of everything added.
  [[nodiscard]] virtual Result<std::uint64_t> finish() = 0;

 protected:
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(kOutputBuffer);
  std::uint64_t produced_ = 0;
};

namespace {

class ZstdCoder final : public BaselineStream::Coder {
 public:
  ZstdCoder() : context_(ZSTD_createCCtx()) {}
  ~ZstdCoder() override { ZSTD_freeCCtx(context_); }
  ZstdCoder(const ZstdCoder&) = delete;
  ZstdCoder& operator=(const ZstdCoder&) = delete;

  Status start(int level, std::uint64_t total) {
    if (context_ == nullptr) return Error::out_of_memory();
    OVK_RETURN_IF_ERROR(check(ZSTD_CCtx_setParameter(context_, ZSTD_c_compressionLevel, level)));
    return check(ZSTD_CCtx_setPledgedSrcSize(context_, total));
  }
  Status add(std::span<const std::uint8_t> in) override {
    return run(in, ZSTD_e_continue);
  }
  Result<std::uint64_t> finish() override {
    OVK_RETURN_IF_ERROR(run({}, ZSTD_e_end));
    return produced_;
  }

 private:
  static Status check(std::size_t code) {
    if (ZSTD_isError(code)) return library_error("zstd", ZSTD_getErrorName(code));
    return Ok{};
  }
  // Until the input is taken (and, at the end, the frame is written whole).
  Status run(std::span<const std::uint8_t> in, ZSTD_EndDirective directive) {
    ZSTD_inBuffer input{in.data(), in.size(), 0};
    for (;;) {
      ZSTD_outBuffer output{buffer_.data(), buffer_.size(), 0};
      const std::size_t left = ZSTD_compressStream2(context_, &output, &input, directive);
      OVK_RETURN_IF_ERROR(check(left));
      produced_ += output.pos;
      const bool done = directive == ZSTD_e_end ? left == 0 : input.pos == input.size;
      if (done) return Ok{};
    }
  }

  ZSTD_CCtx* context_;
};

class ZlibCoder final : public BaselineStream::Coder {
 public:
  ZlibCoder() = default;
  ~ZlibCoder() override {
    if (started_) deflateEnd(&stream_);
  }
  ZlibCoder(const ZlibCoder&) = delete;
  ZlibCoder& operator=(const ZlibCoder&) = delete;

  Status start() {
    const int ret = deflateInit(&stream_, kZlibLevel);
    if (ret == Z_MEM_ERROR) return Error::out_of_memory();
    if (ret != Z_OK) return library_error("zlib", "error " + std::to_string(ret));
    started_ = true;
    return Ok{};
  }
  Status add(std::span<const std::uint8_t> in) override { return run(in, Z_NO_FLUSH); }
  Result<std::uint64_t> finish() override {
    OVK_RETURN_IF_ERROR(run({}, Z_FINISH));
    return produced_;
  }

 private:
  Status run(std::span<const std::uint8_t> in, int flush) {
    // zlib takes at most 4 GiB a call, and never writes through next_in.
    stream_.next_in = const_cast<Bytef*>(in.data());
    stream_.avail_in = static_cast<uInt>(in.size());
    for (;;) {
      stream_.next_out = buffer_.data();
      stream_.avail_out = static_cast<uInt>(buffer_.size());
      const int ret = deflate(&stream_, flush);
      if (ret == Z_STREAM_ERROR) return library_error("zlib", "error " + std::to_string(ret));
      produced_ += buffer_.size() - stream_.avail_out;
      if (flush == Z_FINISH ? ret == Z_STREAM_END : stream_.avail_in == 0 && stream_.avail_out != 0)
        return Ok{};
    }
  }

  z_stream stream_{};
  bool started_ = false;
};

// LZMA2 data from the raw encoder, as the one-shot xz encoder makes it; the
// size of the one-shot stream is worked out around it (xz_stream_size).
class XzCoder final : public BaselineStream::Coder {
 public:
  XzCoder() = default;
  ~XzCoder() override { lzma_end(&stream_); }
  XzCoder(const XzCoder&) = delete;
  XzCoder& operator=(const XzCoder&) = delete;

  Status start(std::uint64_t total) {
    total_ = total;
    if (lzma_lzma_preset(&options_, kXzPreset)) return library_error("xz", "no preset");
    return check(lzma_raw_encoder(&stream_, filters_.data()));
  }
  Status add(std::span<const std::uint8_t> in) override { return run(in, LZMA_RUN); }
  Result<std::uint64_t> finish() override {
    OVK_RETURN_IF_ERROR(run({}, LZMA_FINISH));
    return stream_size();
  }

 private:
  static Status check(lzma_ret ret) {
    if (ret == LZMA_MEM_ERROR) return Error::out_of_memory();
    if (ret != LZMA_OK && ret != LZMA_STREAM_END)
      return library_error("xz", "error " + std::to_string(ret));
    return Ok{};
  }
  Status run(std::span<const std::uint8_t> in, lzma_action action) {
    stream_.next_in = in.data();
    stream_.avail_in = in.size();
    for (;;) {
      stream_.next_out = buffer_.data();
      stream_.avail_out = buffer_.size();
      const lzma_ret ret = lzma_code(&stream_, action);
      OVK_RETURN_IF_ERROR(check(ret));
      produced_ += buffer_.size() - stream_.avail_out;
      if (action == LZMA_FINISH ? ret == LZMA_STREAM_END
                                : stream_.avail_in == 0 && stream_.avail_out != 0)
        return Ok{};
    }
  }
  // The one-shot encoder's LZMA2 bound: 3 header bytes for every started
  // 64 KiB chunk of input and the end marker. It stores the data in
  // uncompressed chunks, that size, when coding would not beat it.
  std::uint64_t lzma2_bound() const {
    constexpr std::uint64_t kChunk = std::uint64_t{1} << 16;
    return total_ + (total_ + kChunk - 1) / kChunk * 3 + 1;
  }
  // Stream header, one block (its header sized for the bound and the
  // input size, the data, padding, CRC64) unless there is no input, the
  // index and the footer.
  Result<std::uint64_t> stream_size() {
    lzma_index* index = lzma_index_init(nullptr);
    if (index == nullptr) return Error::out_of_memory();
    const Status added = total_ == 0 ? Status(Ok{}) : add_block(index);
    const lzma_vli size = lzma_index_stream_size(index);
    lzma_index_end(index, nullptr);
    OVK_RETURN_IF_ERROR(added);
    return std::uint64_t{size};
  }
  Status add_block(lzma_index* index) {
    lzma_block block{};
    block.version = 0;
    block.check = LZMA_CHECK_CRC64;
    block.filters = filters_.data();
    block.compressed_size = lzma2_bound();
    block.uncompressed_size = total_;
    OVK_RETURN_IF_ERROR(check(lzma_block_header_size(&block)));
    block.compressed_size = std::min(produced_, lzma2_bound());
    return check(lzma_index_append(index, nullptr, lzma_block_unpadded_size(&block), total_));
  }

  lzma_stream stream_ = LZMA_STREAM_INIT;
  lzma_options_lzma options_{};
  std::array<lzma_filter, 2> filters_{{{LZMA_FILTER_LZMA2, &options_},
                                       {LZMA_VLI_UNKNOWN, nullptr}}};
  std::uint64_t total_ = 0;
};

Result<std::unique_ptr<BaselineStream::Coder>> make_coder(Baseline baseline, std::uint64_t total) {
  switch (baseline) {
    case Baseline::kZstd3:
    case Baseline::kZstd19: {
      auto coder = std::make_unique<ZstdCoder>();
      OVK_RETURN_IF_ERROR(
          coder->start(baseline == Baseline::kZstd3 ? kZstdFastLevel : kZstdStrongLevel, total));
      return std::unique_ptr<BaselineStream::Coder>(std::move(coder));
    }
    case Baseline::kXz: {
      auto coder = std::make_unique<XzCoder>();
      OVK_RETURN_IF_ERROR(coder->start(total));
      return std::unique_ptr<BaselineStream::Coder>(std::move(coder));
    }
    case Baseline::kZlib: {
      auto coder = std::make_unique<ZlibCoder>();
      OVK_RETURN_IF_ERROR(coder->start());
      return std::unique_ptr<BaselineStream::Coder>(std::move(coder));
    }
  }
  OVK_FAULT("unknown baseline");
}

// Runs `work`, adding the time it takes to `ns`.
template <class Work>
auto timed(std::uint64_t& ns, const Work& work) {
  const auto start = std::chrono::steady_clock::now();
  auto result = work();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ns += static_cast<std::uint64_t>(std::max<std::int64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count(), 0));
  return result;
}

}  // namespace

std::string_view baseline_name(Baseline baseline) {
  switch (baseline) {
    case Baseline::kZstd3:
      return "zstd3";
    case Baseline::kZstd19:
      return "zstd19";
    case Baseline::kXz:
      return "xz";
    case Baseline::kZlib:
      return "zlib";
  }
  OVK_FAULT("unknown baseline");
}

std::optional<std::vector<Baseline>> parse_baselines(std::string_view text) {
  std::vector<Baseline> out;
  if (text == "none") return out;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view item = text.substr(start, comma - start);
    const auto* found = std::find_if(kAllBaselines.begin(), kAllBaselines.end(),
                                     [item](Baseline b) { return baseline_name(b) == item; });
    if (found == kAllBaselines.end()) return std::nullopt;
    if (std::find(out.begin(), out.end(), *found) == out.end()) out.push_back(*found);
    start = comma + 1;
  }
  return out;
}

BaselineStream::BaselineStream(Baseline baseline, std::unique_ptr<Coder> coder)
    : baseline_(baseline), coder_(std::move(coder)) {}
BaselineStream::BaselineStream(BaselineStream&&) noexcept = default;
BaselineStream& BaselineStream::operator=(BaselineStream&&) noexcept = default;
BaselineStream::~BaselineStream() = default;

Result<BaselineStream> BaselineStream::start(Baseline baseline, std::uint64_t total_bytes) {
  return catching_out_of_memory([&]() -> Result<BaselineStream> {
    std::uint64_t ns = 0;
    OVK_ASSIGN_OR_RETURN(std::unique_ptr<Coder> coder,
                         timed(ns, [&] { return make_coder(baseline, total_bytes); }));
    BaselineStream stream(baseline, std::move(coder));
    stream.ns_ = ns;
    return stream;
  });
}

Status BaselineStream::add(std::span<const std::uint8_t> records) {
  return catching_out_of_memory([&] { return timed(ns_, [&] { return coder_->add(records); }); });
}

Result<BaselineMeasure> BaselineStream::finish() {
  return catching_out_of_memory([&]() -> Result<BaselineMeasure> {
    OVK_ASSIGN_OR_RETURN(const std::uint64_t bytes, timed(ns_, [&] { return coder_->finish(); }));
    return BaselineMeasure{baseline_, bytes, ns_ / 1000};
  });
}

}  // namespace ovk::cli
