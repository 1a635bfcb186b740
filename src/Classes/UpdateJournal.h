// The update journal: what a firmware update under way has reached, on disk, so that an update cut short by
// the end of the program (a crash, a signal, a power cut of the computer) is finished when the printer is
// found again, by this program or the other one.
//
// One record per printer with an update under way, in the state folder ($XDG_STATE_HOME/ovn-utility), as
// "journal-<identity>.json". A printer is known by its USB product ID (its model) and the serial number it
// reports; the USB location is kept as a hint and identifies the printer only when no serial number is known.
// Each record holds the phase, the firmware versions from and to, the files offered (names and expected
// hashes) and the time of each phase change. It is written at every phase change: a temporary file, fsync,
// rename over the record, fsync of the folder; a power cut leaves the old record or the new one, and a
// leftover temporary file is ignored. A record that cannot be read or parsed is reported (problems(), one
// log line each) and set aside under "<name>.damaged-<time>", never dropped or overwritten.
//
// When an update ends (succeeded, failed, resumed, superseded) its record is closed: one line goes to the
// update history and the record is removed.
//
// Two programs never drive the same printer's update at once: an update holds "journal-<identity>.lock" in the
// folder with flock(2) from its first phase change until its record is closed (or the program ends).
//
// The programs open the process's journal at start (openShared); printer objects of a process without one
// keep their update only in memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ovn::update {

struct JournalFile {
    std::string name;
    std::string hash;  // the expected file hash
};

struct JournalPhaseChange {
    int64_t phase = 0;
    double time = 0;  // seconds since the epoch
};

struct JournalRecord {
    uint16_t productID = 0;
    std::string model;                       // the model as shown ("OVN PL45")
    std::optional<std::string> serial;       // the serial number the printer reports
    std::string usbLocation;                 // "0x14100000", a hint
    int64_t phase = 0;                       // as "deviceFirmwareStatus": 1 waiting, 2 rebooting, 3 finished
    std::optional<std::string> from;
    std::optional<std::string> to;
    std::vector<JournalFile> files;
    std::vector<JournalPhaseChange> phases;  // oldest first
    double started = 0;
    std::string program;

    // The file-name-safe identity: product ID and serial, or product ID and location without a serial.
    std::string identity() const;
};

class UpdateJournal {
public:
    explicit UpdateJournal(std::filesystem::path folder);
    ~UpdateJournal();
    UpdateJournal(const UpdateJournal&) = delete;
    UpdateJournal& operator=(const UpdateJournal&) = delete;

    // The process's journal; nothing until a program opens one.
    static std::shared_ptr<UpdateJournal> shared();
    // Opens the process's journal in the folder (the state folder by default) and reads it.
    static std::shared_ptr<UpdateJournal> openShared(const std::filesystem::path& folder = {});
    static void setShared(std::shared_ptr<UpdateJournal> journal);

    const std::filesystem::path& folder() const { return folder_; }

    // Reads every record of the folder again (damaged ones are set aside and reported).
    void reload();
    // Whether records can be written: the folder exists (or was made) and takes files. The reason otherwise.
    bool usable(std::string* why = nullptr);

    std::vector<JournalRecord> records() const;
    std::optional<JournalRecord> record(const std::string& identity) const;
    // The record of a printer: same product ID and serial, or, for a record without a serial, the same
    // location.
    std::optional<JournalRecord> find(uint16_t productID, const std::optional<std::string>& serial,
                                      const std::string& usbLocation) const;
    bool hasRecordFor(uint16_t productID) const;

    // Writes the record atomically (its phase change appended when the phase differs from the one on disk).
    bool save(JournalRecord record, std::string* why = nullptr);
    // Closes the record: one history line with this result, then the record is removed and its lock let go.
    void close(const std::string& identity, const std::string& result, const std::optional<std::string>& to,
               const std::vector<std::string>& tablesWritten = {});

    enum class Lock { Held, HeldElsewhere, Failed };
    // Takes the printer's lock for this process (taking it again is fine).
    Lock lock(const std::string& identity, std::string* why = nullptr);
    // Whether another program holds the printer's lock (this process's own lock does not count).
    bool lockedElsewhere(const std::string& identity);
    void unlock(const std::string& identity);

    // What was found wrong with the journal, each in a sentence a person can read.
    std::vector<std::string> problems() const;

private:
    std::filesystem::path recordPath(const std::string& identity) const;
    void setAside(const std::filesystem::path& file, const std::string& why);
    void syncFolder() const;

    const std::filesystem::path folder_;
    mutable std::mutex mutex_;
    std::map<std::string, JournalRecord> records_;
    std::map<std::string, int> locks_;  // identity -> lock file descriptor
    std::vector<std::string> problems_;
};

}  // namespace ovn::update
