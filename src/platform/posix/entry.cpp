#include "core/setuplauncher.h"

int main() { return launcher_main(); }
