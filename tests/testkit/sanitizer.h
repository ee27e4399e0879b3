#pragma once
// Whether this test program runs under the address sanitizer, whose shadow memory an address-space
// limit (RLIMIT_AS) breaks: tests that cap memory that way skip the cap then.
namespace testkit {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif

} // namespace testkit
