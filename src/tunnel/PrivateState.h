#pragma once

namespace vortan {

class RouteLedger;

// The service's root-only state under run/: the private copies of a tunnel's files,
// OpenVPN's management socket and the record of the running children. An instance that
// ended without stopping leaves all of it, and an older one its children too; a start
// claims the directory: it ends those children, removes the routes the previous
// instance wrote (its ledger "routes.txt" is read first), empties it, and records its
// own children and routes there (in ledger). When another instance holds the directory, nothing is touched and a
// WARNING says so.
void ClaimPrivateState(RouteLedger& ledger);

}  // namespace vortan
