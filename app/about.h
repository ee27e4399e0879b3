#pragma once
// The about line of the banner: product title, a dash, the author's credit and the maker's web address.

inline constexpr char16_t kAboutLine[] = u"Keldrava - 林澜 制作  www.keldrava.example.org";
