// Process entry. Placeholder until the main flow lands.
#include <cstdio>

int main() {
  std::fputs("setuplauncher: the main flow is not built yet\n", stderr);
  return 1;
}
