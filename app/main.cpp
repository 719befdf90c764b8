// Entry of Krevlo Bridge. The application itself is not assembled yet.
#include <cstdio>

int main() {
  std::fprintf(stderr, "Krevlo Bridge: the application is not built yet; run scripts/test for the test suite.\n");
  return 1;
}
