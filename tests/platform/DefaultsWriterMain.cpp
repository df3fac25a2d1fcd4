// Helper for the kill test: saves the settings file over and over until it is killed.
// Each state is self-checking: "payload" is `round` copies of one letter.
#include <cstdio>
#include <string>

#include "platform/FileUserDefaults.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  quorvin::FileUserDefaults store(argv[1]);
  auto first = store.integer("round").value_or(0);
  for (int64_t round = first + 1;; ++round) {
    store.setInteger("round", round);
    // Large enough that a write takes a while, so kills land in the middle of one.
    store.setString("payload", std::string(static_cast<size_t>(20000 + round % 50000), static_cast<char>('a' + round % 26)));
    store.flush();
    if (round == first + 1) {
      std::puts("ready");
      std::fflush(stdout);
    }
  }
}
