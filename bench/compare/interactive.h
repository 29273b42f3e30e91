// The interactive workload of lumbra_compare: short commands as desktop applications send them.
//
// A table BENCH of N rows (200,000) of 100 bytes, as the bulk workload's. Two
// operations, each timed one by one:
//   point SELECT   SELECT ID, NAME, CITY FROM BENCH WHERE ID = k, its one row read
//                  (lumbra32: LBCommand and one LBGetNext; libpq: PQexec);
//   UPDATE+COMMIT  a one-row UPDATE ... WHERE ID = k and its COMMIT in one exchange
//                  (lumbra32: the batched UPDATE goes with the COMMIT; libpq: PQexec
//                  in autocommit).
// Keys k are spread over the table by a fixed sequence per client. Each figure
// is taken with one client, then with several at once (4; each a process of
// its own, as lumbra32 serves one thread at a time): the aggregate rate, and
// the p50 and p99 of one operation. The plain loopback exchange of a message
// the size of the point SELECT and of its reply, with no database, is measured
// in the same run. Figures and goals are printed; nothing is asserted.
#pragma once

#include <string>

namespace lumbra::bench {

struct InteractiveOptions {
  long rows = 200000;
  long operations = 20000;  // per figure, shared among the clients
  int clients = 4;
  int messageLength = 32000;
  std::string server;  // the lumbra-server program
  std::string pg;      // libpq connection string; empty: no PostgreSQL column
};

// Runs the workload on both peers and prints its table and its goals.
void runInteractive(const InteractiveOptions& options);

}  // namespace lumbra::bench
