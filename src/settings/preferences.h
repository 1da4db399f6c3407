#pragma once

#include <string>
#include <vector>

#include <boost/scoped_ptr.hpp>

#include "settings/prefs.h"
#include "settings/prefs_ini.h"

// The one settings object of the program. Every operation copies a whole record in or
// out; nothing hands out a reference into the stored record. Only the user-interface
// thread uses it.
class Preferences {
public:
    // The program's instance, created on the first call, which loads "ZentrelConfig.ini"
    // from the place LocateProgramConfig chooses (beside the executable, or for an installed
    // copy in the user's configuration folder, starting from the defaults beside it).
    static Preferences& Get_instance();
    // The program's instance on a file of the caller's choice (the command line's --config),
    // loaded now; replaces an instance made before without saving it.
    static Preferences& Create_instance(std::string path);
    // Saves the program's instance (unless `save` is false) and destroys it; the next
    // Get_instance loads afresh. The instance is gone even when saving fails: the failure is
    // then thrown (as Save's).
    static void Destroy_instance(bool save = true);

    // A settings object on a file of the caller's choice; loads it at once. Destroying it
    // does not save: a destructor could not report a failed write.
    explicit Preferences(std::string path);

    Preferences(const Preferences&) = delete;
    Preferences& operator=(const Preferences&) = delete;

    Prefs Get_prefs() const { return prefs_; }
    CommPrefs Get_comm_prefs() const { return prefs_.Comm; }
    void Set_comm_prefs(const CommPrefs& comm) { prefs_.Comm = comm; }
    DisplayPrefs Get_display_prefs() const { return prefs_.Display; }
    void Set_display_prefs(const DisplayPrefs& display) { prefs_.Display = display; }
    // Slots 0 to 8; any other throws std::runtime_error and changes nothing.
    SendPrefs Get_send_prefs(int slot) const;
    void Set_send_prefs(int slot, const SendPrefs& send);
    // Slots 0 to 9; any other throws std::runtime_error and changes nothing.
    ReplyPrefs Get_reply_prefs(int slot) const;
    void Set_reply_prefs(int slot, const ReplyPrefs& reply);

    std::int32_t Get_fault_seed() const { return prefs_.FaultSeed; }
    void Set_fault_seed(std::int32_t seed) { prefs_.FaultSeed = seed; }
    TrafficPrefs Get_traffic_prefs() const { return prefs_.Traffic; }
    void Set_traffic_prefs(const TrafficPrefs& traffic) { prefs_.Traffic = traffic; }
    LineFaults Get_line_faults() const { return prefs_.Line; }
    void Set_line_faults(const LineFaults& faults) { prefs_.Line = faults; }
    // Side 0 is the simulator's own link and the proxy's side A; side 1 the proxy's side B.
    LineFaults Get_line_faults(int side) const { return side == 1 ? prefs_.LineB : prefs_.Line; }
    void Set_line_faults(int side, const LineFaults& faults) { (side == 1 ? prefs_.LineB : prefs_.Line) = faults; }
    ProxyFaults Get_proxy_faults() const { return prefs_.Proxy; }
    void Set_proxy_faults(const ProxyFaults& faults) { prefs_.Proxy = faults; }

    // Reads the file; a missing or unreadable file, missing keys and bad values give the
    // defaults. Never fails.
    void Load();
    // What the last Load() replaced by its default, one a key, its text led by the file's path
    // ("PATH: [Comm] Baud=9600 is out of its range 0 to 7; the default 3 is used"); for the
    // front end to show.
    const std::vector<SettingWarning>& LoadWarnings() const { return loadWarnings_; }
    // Writes every key into the file, keeping the lines it does not know. The new file is
    // written beside the old one and renamed over it, so a failure leaves the old file
    // whole; a link is followed and its target replaced. A file that cannot be read (its
    // keys would be lost) or has no write permission is left as it is. Failures throw
    // std::runtime_error "Unable to write to <path>".
    void Save() const;

    const std::string& Path() const { return path_; }

private:
    std::string path_;
    Prefs prefs_;
    std::vector<SettingWarning> loadWarnings_;

    static boost::scoped_ptr<Preferences> instance_;
};

// The file the program's instance reads and writes.
std::string DefaultConfigPath();

// Whether `path` can serve as a settings file: `missing` when nothing is there, else a
// `problem` ("" when it is fine): not a regular file, unreadable, or not a settings file at
// all (binary, or text that is not made of sections and keys).
struct SettingsFileCheck {
    bool missing = false;
    std::string problem;
};
SettingsFileCheck CheckSettingsFile(const std::string& path);
