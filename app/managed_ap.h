#pragma once
// The access points this utility manages, as the window and apctl both look
// for them: the browse filters, the login user and the exchange limits that
// go with them. One place, so that the two front ends cannot drift apart.

namespace aputil {

inline constexpr const char* kVendorFilter = "M-Rax";
inline constexpr const char* kProductFilter = "Lumivance/QR-4710 Access Point";
// Left empty when every model is browsed for (the window's Ctrl+Shift+F4,
// apctl's --all-models).
inline constexpr const char* kModelFilter = "QR-4710A Smart AP";
inline constexpr const char* kLoginUser = "user";
inline constexpr int kBrowseWaitMs = 1000;  // a browse's reply window
inline constexpr int kPasswordLength = 40;  // longest login password

}  // namespace aputil
