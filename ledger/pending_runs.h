// Runs that their ledger could not take (a file locked by a backup program, a server down, a full
// disk), kept in the state folder until it can: a file per run, written aside and renamed into
// place, so that a kept run is whole or not there. The next program that opens the same ledger
// records them before anything else; each run's key makes a run recorded twice (by two programs
// at once, or once before a crash and again after) a single row.
#pragma once

#include <cstddef>
#include <string>

#include "ledger.h"

namespace qdfu {

class PendingRuns {
public:
    // folder: this program's state folder ($XDG_STATE_HOME/quarnelix-dfu, %LOCALAPPDATA% on
    // Windows); the runs go under folder/pending-runs/, one subfolder per ledger.
    explicit PendingRuns(std::string folder) : folder_(std::move(folder)) {}

    // Keeps run (given a key when it has none: run.Key is set) for the ledger at where; false
    // with why when it could not be written either.
    bool Keep(const std::string& where, LedgerRun& run, std::string& why) const;
    // Forgets the run kept under key for where (recorded after all); nothing when none is.
    void Forget(const std::string& where, const std::string& key) const;
    // How many runs are kept for where.
    std::size_t Count(const std::string& where) const;
    // Records every run kept for where in ledger, oldest first, removing each once recorded;
    // recorded counts them. False with why at the first the ledger refused (it and the rest stay).
    // A kept file that cannot be read is left where it is and named in why.
    bool RecordInto(const std::string& where, Ledger& ledger, std::size_t& recorded, std::string& why) const;
    // The folder of where's kept runs.
    std::string FolderOf(const std::string& where) const;

private:
    std::string folder_;
};

}  // namespace qdfu
