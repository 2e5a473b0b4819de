// Wiping secrets: what is left of a text in memory once it has been cleared.
#include "crypto/secure_clear.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// Whether the bytes of `secret` occur in the object representation of `object`
// (a short text lives inside the string object itself).
template <class T>
bool object_holds(const T& object, std::string_view secret) {
  const std::string_view bytes(reinterpret_cast<const char*>(&object), sizeof object);
  return bytes.find(secret) != std::string_view::npos;
}

// What each buffer held when it was handed back to the allocator.
std::vector<std::string> released;

template <class T>
struct inspecting_allocator {
  using value_type = T;
  inspecting_allocator() = default;
  template <class U>
  inspecting_allocator(const inspecting_allocator<U>&) {}
  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) {
    released.emplace_back(reinterpret_cast<const char*>(p), n * sizeof(T));
    ::operator delete(p);
  }
  friend bool operator==(const inspecting_allocator&, const inspecting_allocator&) { return true; }
  friend bool operator!=(const inspecting_allocator&, const inspecting_allocator&) { return false; }
};

using inspected_string = std::basic_string<char, std::char_traits<char>, inspecting_allocator<char>>;

std::mutex wiped_mutex;
std::vector<std::string> wiped;

void record_wipe(const char* data, std::size_t size) {
  std::lock_guard<std::mutex> guard{wiped_mutex};
  wiped.emplace_back(data, size);
}

const std::string pin = "83917254"; // short: held inside the string object
const std::string long_secret = "PIN 8391-7254-6630-1187-5542-0916-3378!"; // on the heap

} // namespace

TEST(SecureClear, LeavesNoByteOfTheTextBehind) {
  std::string held = pin;
  ASSERT_TRUE(object_holds(held, pin));
  crypto::secure_clear(held);
  EXPECT_TRUE(held.empty());
  EXPECT_FALSE(object_holds(held, pin));

  // Moving a short text copies it and leaves its bytes behind the new end.
  std::string moved = pin;
  std::string target = std::move(moved);
  ASSERT_TRUE(object_holds(moved, pin.substr(1))) << "the case this wiping is for";
  crypto::secure_clear(moved);
  EXPECT_FALSE(object_holds(moved, pin.substr(1)));
  EXPECT_EQ(target, pin);

  // A buffer on the heap, as it is released: unwiped, then wiped.
  released.clear();
  { inspected_string kept(long_secret.begin(), long_secret.end()); }
  std::size_t capacity = 0;
  {
    inspected_string cleared(long_secret.begin(), long_secret.end());
    capacity = cleared.capacity();
    crypto::secure_clear(cleared);
    EXPECT_TRUE(cleared.empty());
    EXPECT_EQ(cleared.capacity(), capacity) << "no reallocation leaves an unwiped buffer";
  }
  ASSERT_EQ(released.size(), 2u) << "one buffer each";
  EXPECT_NE(released[0].find(long_secret), std::string::npos) << "the inspection sees the text";
  EXPECT_EQ(released[1].size(), capacity + 1);
  EXPECT_EQ(released[1].find_first_of(long_secret), std::string::npos)
    << "no byte of the text is left anywhere in the buffer";

  std::string empty;
  crypto::secure_clear(empty);
  EXPECT_TRUE(empty.empty());
}

TEST(SecureClear, ASecretStringLeavesNothingWhereItWasMovedFromOrDestroyed) {
  crypto::set_wipe_observer(&record_wipe);
  wiped.clear();

  std::string source = pin;
  crypto::secret_string secret(std::move(source));
  EXPECT_FALSE(object_holds(source, pin.substr(1))) << "taking the text wipes what moving left";
  EXPECT_EQ(secret.str(), pin);

  crypto::secret_string moved(std::move(secret));
  EXPECT_EQ(moved.str(), pin);
  EXPECT_TRUE(secret.str().empty());
  EXPECT_FALSE(object_holds(secret, pin.substr(1)));

  crypto::secret_string copy = moved;
  EXPECT_EQ(copy.str(), pin);
  copy = crypto::secret_string(std::string("0000"));
  EXPECT_EQ(copy.str(), "0000");
  EXPECT_EQ(wiped, std::vector<std::string>{pin}) << "the text the assignment replaced";

  wiped.clear();
  { crypto::secret_string gone(std::string("4455")); }
  EXPECT_EQ(wiped, std::vector<std::string>{"4455"}) << "wiped when destroyed";
  crypto::set_wipe_observer(nullptr);
}
