// Free functions over a USB interface handle: the device descriptor, the string indices, a string
// descriptor as text, a serial-number text with a fallback built from the interface's IDs, and a device
// re-enumeration. They are for callers that hold only an interface handle; the printer object uses the
// decoding helpers of ovn::usb below for its own descriptor requests.
//
// Every function returns the platform result of its last USB call (0 success). Out-texts are plain values
// the caller owns; "nothing" is std::nullopt. Descriptor bytes are decoded only as far as they arrived.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "usb/USBServices.h"

// Reads the device descriptor (GET_DESCRIPTOR, type 1) into buffer. kIOReturnBadArgument for a missing
// handle or buffer or a zero length; kIOReturnUnderrun when fewer bytes than asked arrived.
IOReturn usbInterfaceGetDeviceDescriptor(const ovn::usb::IOUSBInterfaceInterfacePtr& interface, void* buffer,
                                         uint16_t length);

// The manufacturer, product and serial-number string indices from the 18-byte device descriptor. Each
// out-value may be null; on failure the present ones receive 0.
IOReturn usbInterfaceGetiDeviceIndices(const ovn::usb::IOUSBInterfaceInterfacePtr& interface,
                                       uint64_t* manufacturerIndex, uint64_t* productIndex, uint64_t* serialIndex);

// String descriptor `index` as UTF-8 text, in English when the device offers it (else its first language).
// *text is cleared first and receives a text only when the descriptor holds at least one character.
IOReturn usbInterfaceGetDescriptorStringCopy(const ovn::usb::IOUSBInterfaceInterfacePtr& interface, uint8_t index,
                                             std::optional<std::string>* text);

// The device's serial-number string, or when it has none, "VVVVPPPPRRRR;*LOC:llllllll" built from vendor,
// product, release number and location ID.
IOReturn usbInterfaceCreateSerialNumberString(const ovn::usb::IOUSBInterfaceInterfacePtr& interface,
                                              std::optional<std::string>* text);

// Re-enumerates the device the interface belongs to (it leaves the bus and comes back).
IOReturn usbInterfaceResetUSBDevice(const ovn::usb::IOUSBInterfaceInterfacePtr& interface);

namespace ovn::usb {

// Standard request fields used for descriptors.
inline constexpr uint8_t kUSBStandardDeviceIn = 0x80;  // standard request, device to host, recipient device
inline constexpr uint8_t kUSBRqGetDescriptor = 6;
inline constexpr uint16_t kUSBDeviceDescriptorValue = 0x0100;
inline constexpr uint16_t kUSBStringDescriptorValue = 0x0300;
inline constexpr uint8_t kUSBStringDescriptorType = 3;
inline constexpr uint16_t kUSBLanguageEnglishUS = 0x0409;

// The language IDs of a received descriptor zero: little-endian entries from byte 2 up to the length in
// byte 0, never past the bytes received. Empty when fewer than 4 bytes arrived.
std::vector<uint16_t> languageListEntries(std::span<const uint8_t> received);

// The language the printer object asks strings in: the first entry, replaced by a later English entry
// when the current choice is not English or the entry's sub-language bits are lower. 0 for an empty list.
uint16_t preferredLanguage(const std::vector<uint16_t>& languages);

// The text of a received string descriptor (UTF-16LE after the two header bytes). The descriptor length
// (byte 0) is bounded by the bytes received and made even; trailing 0x0000 code units are dropped; fewer
// than one remaining code unit, or UTF-16 that does not decode (an unpaired surrogate), gives nothing.
// The descriptor type byte is not checked here.
std::optional<std::string> decodeStringDescriptor(std::span<const uint8_t> received);

// UTF-16 little-endian code units to UTF-8; nothing when a surrogate is unpaired or the byte count is odd.
std::optional<std::string> utf16LEToUTF8(std::span<const uint8_t> bytes);

// Whether the bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool isValidUTF8(std::string_view bytes);

}  // namespace ovn::usb
