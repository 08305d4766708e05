#pragma once
// The maker's web address, opened from the logo and named in the about box.
inline constexpr const char* MakerWebAddress = "https://www.tarnwick.example/velmorant";
