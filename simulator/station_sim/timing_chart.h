// The timeline as a picture: an SVG timing chart of the four LED lines, the
// relay line and the call status over time, the way a logic analyser shows
// signals, with the scenario's steps as markers.
#pragma once

#include <string>
#include <vector>

#include "simulator/station_sim/station_view.h"

std::string timing_chart_svg(const std::vector<station_sample>& samples, const std::vector<station_marker>& markers);

// Text made safe for SVG: & < > and quotes as entities.
std::string xml_escape(const std::string& text);
