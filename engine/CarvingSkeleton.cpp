#include "engine/CarvingSkeleton.h"

void CutsToEmails(const TCutList& Cuts, TEmailArray& Result, std::vector<std::size_t>* Starts) {
    Result.clear();
    Result.reserve(Cuts.size());
    if (Starts != nullptr) Starts->clear();
    for (const TCutMessage& cut : Cuts) {
        TEmail& email = Result.emplace_back();
        email.From.assign(cut.Fields[0]);
        email.To.assign(cut.Fields[1]);
        email.Subject.assign(cut.Fields[2]);
        email.Date.assign(cut.Fields[3]);
        email.FullText.assign(cut.FullText);
        email.Body.assign(cut.Body);
        if (Starts != nullptr) Starts->push_back(static_cast<std::size_t>(cut.DriveOffset));
    }
}
