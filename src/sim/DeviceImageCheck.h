// The printer's check of a firmware image received with FLASH_PROGRAM.
//
// The image is the S-record text of a firmware file, padded with zero bytes to a multiple of four. The printer
// accepts it only when the padding is right, every record is well-formed with a correct checksum, the first
// record is an S0 header that names the firmware version, at least one data record follows and a termination
// record (S7, S8 or S9) ends it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ovn::sim {

struct ImageCheckResult {
    bool ok = false;
    std::string version;  // the text of the S0 header record ("PL15 01.61")
    std::string error;    // what is wrong, naming the record (1-based line number) when a record is at fault
    size_t records = 0;   // records read (when ok)
    size_t dataBytes = 0; // bytes carried by S1/S2/S3 records (when ok)
};

ImageCheckResult checkFirmwareImage(const uint8_t* data, size_t length);

}  // namespace ovn::sim
