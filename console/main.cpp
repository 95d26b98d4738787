// quemblet: sounds a reference pitch for tuning instruments.
#include "console/direct_mode.h"
#include "console/menu.h"
#include "console/settings.h"

int main(int argc, char** argv) {
  ToneSettings settings;
  if (argc <= 1) return RunMenu(settings);
  return RunDirectMode(argc, argv, settings);
}
