// Entry of Krevlo Bridge Helper. Plug-in examination is not built yet.
#include <cstdio>

int main() {
  std::fprintf(stderr, "Krevlo Bridge Helper: plug-in examination is not built yet.\n");
  return 2;
}
