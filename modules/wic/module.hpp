// What the codec's files share: its classes, and the module's own state.
#pragma once

#include <windows.h>

namespace quorvel::wic {

// {04afc6d2-9912-4c8d-afca-b6c0fc29ddad}: the ColorRIX container format.
inline constexpr GUID kContainerFormat = {0x04afc6d2, 0x9912, 0x4c8d, {0xaf, 0xca, 0xb6, 0xc0, 0xfc, 0x29, 0xdd, 0xad}};
// {368cfe9f-23aa-4d70-bab2-b3f3b6c007e9}: the decoder.
inline constexpr GUID kDecoderClass = {0x368cfe9f, 0x23aa, 0x4d70, {0xba, 0xb2, 0xb3, 0xf3, 0xb6, 0xc0, 0x07, 0xe9}};
// {8982cb53-989e-41d5-85ef-60005ef5a487}: the thumbnail handler.
inline constexpr GUID kThumbnailClass = {0x8982cb53, 0x989e, 0x41d5, {0x85, 0xef, 0x60, 0x00, 0x5e, 0xf5, 0xa4, 0x87}};
// {894013f3-4b8b-4859-8175-876f1fb22608}: the vendor.
inline constexpr GUID kVendor = {0x894013f3, 0x4b8b, 0x4859, {0x81, 0x75, 0x87, 0x6f, 0x1f, 0xb2, 0x26, 0x08}};

HMODULE thisModule();

// Registers the classes, the ColorRIX extensions' keys and the decoder in
// WIC's category under `classes` (a Software\Classes key), or removes
// exactly what an earlier registration there added.
HRESULT registerCodec(HKEY classes);
HRESULT unregisterCodec(HKEY classes);

}  // namespace quorvel::wic
