// Compiled at configure time: the C++20 language and library parts the
// module's sources use. A compiler that fails here stops the configure step
// with one message (cmake/supported.cmake).
#include <bit>
#include <cstdint>
#include <span>

template <class T>
concept Word = sizeof(T) == 4;

constinit int calls = 0;

template <Word T>
float as_float(std::span<const T> words) {
  return std::bit_cast<float>(words[0]);
}

int main() {
  static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);
  const std::uint32_t words[1] = {0x3f800000u};
  if (as_float(std::span<const std::uint32_t>(words)) == 1.0f) [[likely]] {
    return calls;
  }
  return 1;
}
