// The page, its script and its style are built into the program
// (scripts/embed-text.cmake); Chart.js is read where libjs-chart.js puts it.
#include "cli/dashboard_page.h"
#include "cli/commands.h"

#include "dashboard_assets.h"

#include <nettle/base64.h>
#include <nettle/sha2.h>
#include <sysexits.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

namespace cli {

const char SERVED_POLICY[] = "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                             "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

static std::string text_of(const unsigned char *bytes)
{
    return reinterpret_cast<const char *>(bytes);
}

// The page with its head's and its scripts' places filled.
static std::string page_with(const std::string &head, const std::string &scripts)
{
    std::string page = text_of(page_html);
    for (const auto &place : {std::make_pair(std::string("<!--HEAD-->"), head),
                              std::make_pair(std::string("<!--SCRIPTS-->"), scripts)}) {
        const std::size_t at = page.find(place.first);
        if (at != std::string::npos)
            page.replace(at, place.first.size(), place.second);
    }
    return page;
}

bool served_file(const std::string &path, std::string &body, std::string &type)
{
    if (path == "/") {
        body = page_with("<link rel=\"stylesheet\" href=\"page.css\">",
                         "<script src=\"chart.js\"></script>\n<script src=\"page.js\"></script>");
        type = "text/html; charset=utf-8";
    } else if (path == "/page.js") {
        body = text_of(page_js);
        type = "text/javascript; charset=utf-8";
    } else if (path == "/page.css") {
        body = text_of(page_css);
        type = "text/css; charset=utf-8";
    } else {
        return false;
    }
    return true;
}

bool read_chart_js(std::string &text, std::string &error)
{
    std::ifstream file(KESTRANE_CHART_JS, std::ios::binary);
    std::ostringstream whole;
    whole << file.rdbuf();
    text = whole.str();
    if (file && !text.empty())
        return true;
    error = std::string("Chart.js is not at ") + KESTRANE_CHART_JS +
            " (Debian's libjs-chart.js puts it there): the page shows its figures as tables only";
    return false;
}

// 'sha256-...' as a Content-Security-Policy names an inline script or style.
static std::string source_hash(const std::string &text)
{
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, text.size(), reinterpret_cast<const std::uint8_t *>(text.data()));
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof digest, digest);
    char encoded[BASE64_ENCODE_RAW_LENGTH(SHA256_DIGEST_SIZE) + 1] = {};
    base64_encode_raw(encoded, sizeof digest, digest);
    return "'sha256-" + std::string(encoded) + "'";
}

// JSON that stays data inside a script element: no "</script" nor "<!--"
// can close or bend it, whatever a name in the record holds.
static std::string script_safe(const Json &value)
{
    std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::string safe;
    for (char c : text)
        safe += c == '<' ? std::string("\\u003c") : std::string(1, c);
    return safe;
}

std::string report_html(const Json &page, const std::string &chart_js)
{
    const std::string script = text_of(page_js), style = text_of(page_css);
    std::string scripts = source_hash(script);
    if (!chart_js.empty())
        scripts = source_hash(chart_js) + " " + scripts;
    const std::string policy = "default-src 'none'; script-src " + scripts + "; style-src " + source_hash(style) +
                               "; base-uri 'none'; form-action 'none'";
    return page_with("<meta http-equiv=\"Content-Security-Policy\" content=\"" + policy + "\">\n<style>" + style +
                         "</style>",
                     "<script type=\"application/json\" id=\"record\">" + script_safe(page) + "</script>\n" +
                         (chart_js.empty() ? "" : "<script>" + chart_js + "</script>\n") + "<script>" + script +
                         "</script>");
}

int write_report(const Options &options)
{
    RecordReader reader;
    std::string error;
    int status = reader.open(options, error);
    View view;
    view.filter.since = options.since;
    view.filter.serial = options.serial_number;
    view.filter.sha256_prefix = options.image_prefix;
    if (!options.station.empty())
        view.stations.push_back(options.station);
    Json page;
    if (status == 0)
        status = reader.page(view, utc_now(), page, error);
    if (status != 0) {
        complain(error);
        return status;
    }
    std::string chart_js;
    if (!read_chart_js(chart_js, error))
        complain("warning: " + error);
    const std::string html = report_html(page, chart_js);
    if (options.html == "-") {
        std::cout << html << std::flush;
        return std::cout ? 0 : EX_IOERR;
    }
    // Written beside it and renamed over it, so that a report is never
    // left half written, nor an earlier one lost to a full disk.
    const std::string part = options.html + ".part";
    std::ofstream file(part, std::ios::binary | std::ios::trunc);
    file << html;
    file.close();
    if (!file || std::rename(part.c_str(), options.html.c_str()) != 0) {
        std::remove(part.c_str());
        complain("cannot write " + options.html);
        return EX_CANTCREAT;
    }
    return 0;
}

}  // namespace cli
