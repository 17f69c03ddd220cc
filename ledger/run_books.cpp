// The ledger a run records into (see run_books.h).
#include "run_books.h"

#include <cerrno>
#include <cstdio>

#include "pending_runs.h"
#include "settings.h"

namespace qdfu {
namespace {

PendingRuns KeptAside() { return PendingRuns(DefaultStateHome() + "/quarnelix-dfu"); }

}  // namespace

bool LedgerExists(const std::string& where) {
    if (IsPostgresLedger(where)) return true;
    // an empty file (made by hand, or by a tool that gave up) holds no ledger yet
    std::FILE* f = std::fopen(where.c_str(), "rb");
    if (!f) return errno != ENOENT;
    const bool empty = std::fgetc(f) == EOF;
    std::fclose(f);
    return !empty;
}

std::string LedgerName(const std::string& where) { return HidePassword(where, where); }

std::unique_ptr<Ledger> OpenRunLedger(const std::string& where, std::string& why, LedgerAccess access,
                                      const LedgerSay& say) {
    auto ledger = OpenLedger(where, why, access);
    if (!ledger) return ledger;
    if (KeptAside().Count(PendingRuns::LedgerKey(*ledger, where)) == 0) return ledger;
    if (access == LedgerAccess::Read) {  // runs kept aside are recorded first: to write, then
        ledger = OpenLedger(where, why, LedgerAccess::Write);
        if (!ledger) return ledger;
    }
    RecordRunsKeptAside(where, *ledger, say);
    return ledger;
}

void RecordRunsKeptAside(const std::string& where, Ledger& ledger, const LedgerSay& say,
                         const std::set<std::string>& skip) {
    const PendingRuns kept = KeptAside();
    const std::string key = PendingRuns::LedgerKey(ledger, where);
    if (kept.Count(key) == 0) return;
    std::size_t recorded = 0;
    std::string failed;
    const bool all = kept.RecordInto(key, ledger, recorded, failed, skip);
    if (!say) return;
    if (recorded > 0)
        say("ledger: " + std::to_string(recorded) + (recorded == 1 ? " run" : " runs") + " kept aside in " +
            kept.FolderOf(key) + " recorded now");
    if (!all) say("ledger: the runs kept aside in " + kept.FolderOf(key) + " stay there: " + failed);
}

bool KeepRunAside(const std::string& where, const Ledger& ledger, LedgerRun& run, std::string& why) {
    return KeptAside().Keep(PendingRuns::LedgerKey(ledger, where), where, run, why);
}

void ForgetRunAside(const std::string& where, const Ledger& ledger, const std::string& key) {
    KeptAside().Forget(PendingRuns::LedgerKey(ledger, where), key);
}

int OpenLineLedger(const LineLedgerPlan& plan, std::unique_ptr<Ledger>& books, std::string& why,
                   const LedgerSay& say) {
    const bool mayCreate = !plan.SerialsGiven || plan.SerialFirst.has_value();
    if (!mayCreate && !LedgerExists(plan.Where)) {
        why = "--ledger " + LedgerName(plan.Where) + ": no such ledger; give --serial-first to start a new ledger";
        return kLedgerMissing;
    }
    books = OpenRunLedger(plan.Where, why, mayCreate ? LedgerAccess::Create : LedgerAccess::Write, say);
    if (!books) return kLedgerUnreachable;
    if (!plan.SerialFirst) return 0;
    if (plan.FirstOnlyForANewLedger) {
        uint32_t next = 0;
        std::string ignored;
        // a profile's first= starts a new ledger; one that has given serials goes on as it stands
        if (books->Next(next, ignored) && next == 1 && *plan.SerialFirst > 1)
            books->StartSerialsAt(*plan.SerialFirst, ignored);
    } else if (!books->StartSerialsAt(*plan.SerialFirst, why)) {
        books.reset();
        return kLedgerFirstRefused;
    }
    return 0;
}

KeptAsideHooks KeepAsideFor(const std::string& where, Ledger& ledger, LedgerSay say) {
    KeptAsideHooks hooks;
    Ledger* books = &ledger;
    hooks.Keep = [where, books](LedgerRun& run, std::string& why) { return KeepRunAside(where, *books, run, why); };
    hooks.Forget = [where, books](const std::string& key) { ForgetRunAside(where, *books, key); };
    hooks.RecordKept = [where, books, say = std::move(say)](const std::set<std::string>& running) {
        RecordRunsKeptAside(where, *books, say, running);
    };
    return hooks;
}

}  // namespace qdfu
