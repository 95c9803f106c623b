#include "protocol/stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velkor::protocol {

BufReader::BufReader(std::unique_ptr<Source> source, std::string initial, std::size_t capacity)
    : source_(std::move(source)), buf_(std::max(capacity, initial.size())) {
  std::copy(initial.begin(), initial.end(), buf_.begin());
  end_ = initial.size();
}

Result<bool> BufReader::fill() {
  if (pos_ < end_) return true;
  pos_ = end_ = 0;
  auto n = source_->read_some(buf_.data(), buf_.size());
  if (!n) return Unexpected(std::move(n).error());
  end_ = *n;
  return *n > 0;
}

bool LineBudget::take(std::size_t n) {
  std::size_t used = used_.load(std::memory_order_relaxed);
  do {
    if (n > limit_ - std::min(used, limit_)) return false;
  } while (!used_.compare_exchange_weak(used, used + n, std::memory_order_relaxed));
  return true;
}

Result<std::size_t> BufReader::read_line(std::string& out, std::size_t max, LineBudget* budget) {
  std::size_t total = 0;
  // Once the line is complete it is the caller's, no longer unfinished.
  struct Held {
    LineBudget* budget;
    std::size_t bytes = 0;
    ~Held() {
      if (budget) budget->give_back(bytes);
    }
  } held{budget};
  while (total < max) {
    // A long line is read in larger pieces: a screenshot's answer would
    // otherwise take two thousand reads. Only readers that met one keep
    // the larger buffer.
    if (pos_ == end_ && total >= buf_.size() && buf_.size() < kLongLineCapacity) {
      buf_.resize(std::min(2 * buf_.size(), kLongLineCapacity));
    }
    auto more = fill();
    if (!more) return Unexpected(std::move(more).error());
    if (!*more) break;
    std::size_t avail = std::min(end_ - pos_, max - total);
    const char* start = buf_.data() + pos_;
    const void* nl = std::memchr(start, '\n', avail);
    std::size_t take = nl ? static_cast<const char*>(nl) - start + 1 : avail;
    if (budget) {
      if (!budget->take(take)) {
        return Unexpected(IoError(ErrorKind::kInvalidData, "too much unfinished input"));
      }
      held.bytes += take;
    }
    out.append(start, take);
    pos_ += take;
    total += take;
    if (nl) break;
  }
  return total;
}

Result<std::size_t> BufReader::read_up_to(char* dst, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    if (pos_ == end_ && n - got >= buf_.size()) {
      // Large bodies go straight into the caller's buffer.
      auto r = source_->read_some(dst + got, n - got);
      if (!r) return Unexpected(std::move(r).error());
      if (*r == 0) break;
      got += *r;
      continue;
    }
    auto more = fill();
    if (!more) return Unexpected(std::move(more).error());
    if (!*more) break;
    std::size_t take = std::min(end_ - pos_, n - got);
    std::memcpy(dst + got, buf_.data() + pos_, take);
    pos_ += take;
    got += take;
  }
  return got;
}

Result<std::size_t> StringSource::read_some(char* buf, std::size_t n) {
  std::size_t take = std::min({n, chunk_, data_.size() - pos_});
  std::memcpy(buf, data_.data() + pos_, take);
  pos_ += take;
  return take;
}

Result<void> StringSink::write_all(std::string_view bytes) {
  if (data_.size() + bytes.size() > fail_after_) {
    data_.append(bytes.substr(0, fail_after_ - data_.size()));
    return Unexpected(IoError::from_errno(EPIPE));
  }
  data_.append(bytes);
  return {};
}

}  // namespace velkor::protocol
