#include "line_probe.h"

// Windows gives no second view of an open COM port's settings.
LineProbe::LineProbe(const std::string &) {}
LineProbe::~LineProbe() = default;
unsigned LineProbe::Baud() const { return 0; }
bool LineProbe::TwoStopBits() const { return false; }
