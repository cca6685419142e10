// korvaneui: the desktop tray program.
#include "tray_app.hpp"

int main(int argc, char** argv) { return kv::ui::run_tray(argc, argv); }
