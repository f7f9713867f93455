/// @file
/// The bytes of a request as the program holds them: a body grows where it
/// lies, and a frame around it (the echo program's page) is made there too.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace cgiecho {

/// Room from the platform (platform::take_room): grows by moving pages
/// rather than copying bytes where the system allows. Its bytes are not
/// initialised.
class Room {
 public:
  /// No room yet.
  Room() = default;
  /// Takes the room of `other`, which then holds none.
  Room(Room&& other) noexcept;
  /// Gives back this one's room and takes that of `other`.
  Room& operator=(Room&& other) noexcept;
  Room(const Room&) = delete;
  Room& operator=(const Room&) = delete;
  ~Room();

  char* data() const { return data_; }    ///< the first byte; null when there is no room
  std::size_t size() const { return size_; }  ///< the bytes of room

  /// At least `size` bytes, those already here kept; false, and the room as
  /// it was, when the system has no more.
  bool grow(std::size_t size);

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
};

/// The request data: bytes that came whole (a query string, a command-line
/// tail, a page made from them) or a body read into a Room, which may keep
/// room before and after the bytes.
class RequestData {
 public:
  RequestData() = default;
  /// Implicit: data that came whole is assigned as a string.
  RequestData(std::string text) : text_(std::move(text)) {}
  /// The bytes at room.data() + begin, `size` of them.
  RequestData(Room room, std::size_t begin, std::size_t size)
      : room_(std::move(room)), begin_(begin), size_(size) {}

  /// Valid until the data is next changed.
  std::string_view view() const {
    return room_.data() != nullptr ? std::string_view(room_.data() + begin_, size_) : std::string_view(text_);
  }

  /// Puts `head` before the bytes and `tail` after them: in the room kept
  /// for them, so a large body is never copied to be framed, or else into a
  /// new string.
  void frame(std::string_view head, std::string_view tail);

 private:
  std::string text_;
  Room room_;
  std::size_t begin_ = 0;
  std::size_t size_ = 0;
};

}  // namespace cgiecho
