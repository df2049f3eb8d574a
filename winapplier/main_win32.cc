// Pelmo32, pelmostub and the single-file windowed stub: one main, built
// three times with VERDELIN_WINDOW_VARIANT naming the program.
#include "winapplier/window_win32.h"

int main() { return winapplier::runWindowed(winapplier::Variant::VERDELIN_WINDOW_VARIANT); }
