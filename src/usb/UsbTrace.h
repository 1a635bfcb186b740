// Transfer trace (--trace-usb FILE): one JSON object per line for every bulk and control transfer, written by
// the USB providers themselves. Keys: "time" (seconds since the epoch, fractional), "device" (vendor ID,
// product ID and location ID as "%.4X%.4X%.8X"), "direction" ("out" or "in"), "transfer" ("bulk" or
// "control"), "length" (bytes transferred), "result" (name of the result code), "hex" (the first 64 bytes
// transferred, lower-case hex without separators). Every line is written whole, with one write; any thread
// may record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/IOReturnCodes.h"

namespace ovn::usb {

class UsbTrace {
public:
    enum class Direction { Out, In };
    enum class Transfer { Bulk, Control };

    // Opens (creating it when needed) the file for appending; a file already open is closed first. Only a
    // regular file or a FIFO that a program reads, never through a symbolic link. On failure returns false,
    // leaves tracing off and puts a one-line reason into *error (when given).
    static bool open(const std::string& path, std::string* error);
    static void close();
    static bool enabled();
    // A line could not be written (a full disk, a reader that went away): reported at once on standard error
    // and tracing stopped. The program's exit status then says the run failed.
    static bool failed();

    // One transfer: `data` holds the `length` bytes that were transferred.
    static void record(uint16_t vendorID, uint16_t productID, uint32_t locationID, Direction direction,
                       Transfer transfer, const void* data, size_t length, IOReturn result);

    // "%.4X%.4X%.8X" of the three IDs: the key a printer is known by.
    static std::string deviceKey(uint16_t vendorID, uint16_t productID, uint32_t locationID);
    // Lower-case hex of at most the first `limit` bytes.
    static std::string hexPrefix(const void* data, size_t length, size_t limit = 64);
};

}  // namespace ovn::usb
