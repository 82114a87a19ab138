// The page's HTML, CSS and script, built into the program.
#pragma once

namespace station::page {

extern const char page_html[];
extern const char page_css[];
extern const char page_js[];

} // namespace station::page
