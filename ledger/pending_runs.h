// Runs that their ledger could not take (a file locked by a backup program, a server down, a full
// disk), kept in the state folder until it can: a file per run, written aside and renamed into
// place, so that a kept run is whole or not there. The next program that opens the same ledger
// records them before anything else; each run's key makes a run recorded twice (by two programs
// at once, or once before a crash and again after) a single row.
#pragma once

#include <cstddef>
#include <set>
#include <string>

#include "ledger.h"

namespace qdfu {

class PendingRuns {
public:
    // folder: this program's state folder ($XDG_STATE_HOME/quarnelix-dfu, %LOCALAPPDATA% on
    // Windows); the runs go under folder/pending-runs/, one subfolder per ledger.
    explicit PendingRuns(std::string folder) : folder_(std::move(folder)) {}

    // Which ledger kept runs belong to: its own name (Ledger::Id), which every path or URI that
    // reaches it shares, else (a ledger older than names) where as given, made absolute.
    static std::string LedgerKey(const Ledger& ledger, const std::string& where);

    // Keeps run (given a key when it has none: run.Key is set) for the ledger of ledgerKey, at
    // where (named in the file without its password, for the person who looks); false with why
    // when it could not be written either.
    bool Keep(const std::string& ledgerKey, const std::string& where, LedgerRun& run, std::string& why) const;
    // Forgets the run kept under key (recorded after all); nothing when none is.
    void Forget(const std::string& ledgerKey, const std::string& key) const;
    // How many runs are kept for the ledger.
    std::size_t Count(const std::string& ledgerKey) const;
    // Records every run kept for the ledger in ledger, oldest first, removing each once recorded;
    // recorded counts them. False with why at the first the ledger refused (it and the rest stay).
    // A kept file that cannot be read is left where it is and named in why; one that another
    // program recorded and removed meanwhile is passed over, and so are the runs whose keys are in
    // skip (runs of this program still going, whose own rows come at their ends).
    bool RecordInto(const std::string& ledgerKey, Ledger& ledger, std::size_t& recorded, std::string& why,
                    const std::set<std::string>& skip = {}) const;
    // The folder of the ledger's kept runs.
    std::string FolderOf(const std::string& ledgerKey) const;

private:
    std::string folder_;
};

}  // namespace qdfu
