#include <cgiecho/request/request_data.h>

#include <algorithm>

#include <cgiecho/platform/platform.h>

namespace cgiecho {

Room::Room(Room&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

Room& Room::operator=(Room&& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  return *this;
}

Room::~Room() {
  if (data_ != nullptr) platform::give_back_room(data_, size_);
}

bool Room::grow(std::size_t size) {
  if (size <= size_) return true;
  char* grown = data_ == nullptr ? platform::take_room(size) : platform::grow_room(data_, size_, size);
  if (grown == nullptr) return false;
  data_ = grown;
  size_ = size;
  return true;
}

void RequestData::frame(std::string_view head, std::string_view tail) {
  if (room_.data() != nullptr && begin_ >= head.size() && room_.size() - begin_ - size_ >= tail.size()) {
    begin_ -= head.size();
    std::copy(head.begin(), head.end(), room_.data() + begin_);
    std::copy(tail.begin(), tail.end(), room_.data() + begin_ + head.size() + size_);
    size_ += head.size() + tail.size();
    return;
  }
  std::string framed;
  framed.reserve(head.size() + view().size() + tail.size());
  framed.append(head).append(view()).append(tail);
  *this = RequestData(std::move(framed));
}

}  // namespace cgiecho
