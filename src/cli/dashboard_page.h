// The dashboard's page: served as a page, its script and its style, each a
// file of its own so that its Content-Security-Policy allows no inline
// script; or written as one file that holds all of them, its data and
// Chart.js, for history --html.
#ifndef KESTRANE_CLI_DASHBOARD_PAGE_H
#define KESTRANE_CLI_DASHBOARD_PAGE_H

#include "cli/dashboard_data.h"

#include <string>

namespace cli {

// The served files: "/", "/page.js", "/page.css"; false for any other.
bool served_file(const std::string &path, std::string &body, std::string &type);
// What the served page may load: its own scripts, style and data alone.
extern const char SERVED_POLICY[];

// Chart.js as Debian installs it; false, with the reason, when it is not.
bool read_chart_js(std::string &text, std::string &error);

// The page as one file: page is RecordReader::page's, chart_js Chart.js
// (empty: the figures as tables only). Its policy allows its own inline
// scripts and style, by their SHA-256, and nothing else at all.
std::string report_html(const Json &page, const std::string &chart_js);

// history --html FILE: the page of the attempts the options choose.
int write_report(const Options &options);

}  // namespace cli

#endif
