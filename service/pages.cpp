#include "service/pages.h"

#include "service/form_guard.h"

namespace svc {

namespace {

constexpr std::string_view kStyle =
    "body{font-family:sans-serif;max-width:44em;margin:2em auto;padding:0 1em;line-height:1.4}"
    "table{border-collapse:collapse}td,th{padding:.2em .8em;text-align:left}"
    "th{font-weight:normal;color:#555}.problems{color:#a00}.placed{color:#060}"
    "fieldset{margin:1em 0}label.field{display:inline-block;width:11em}"
    "code{background:#eee;padding:0 .2em}";

std::string layout(std::string_view title, std::string_view body) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>";
  html += html_escape(title);
  html += "</title>\n<style>";
  html += kStyle;
  html += "</style>\n</head>\n<body>\n<h1>";
  html += html_escape(title);
  html += "</h1>\n";
  html += body;
  html +=
      "<p><a href=\"index.php\">Home</a> &middot; <a href=\"tutorial.php\">Tutorial</a></p>\n"
      "</body>\n</html>\n";
  return html;
}

std::string order_summary(const Order& order) {
  std::string html = "<table class=\"order\">\n<tr><th>Format</th><td>" +
                     html_escape(order.format) + "</td></tr>\n";
  for (const OptionField& field : kOptionFields) {
    const std::string& value = order.option(field.option);
    html += "<tr><th>" + html_escape(field.label) + "</th><td>";
    html += value == kNotGiven ? std::string("<i>default</i>") : html_escape(value);
    html += "</td></tr>\n";
  }
  html += "</table>\n<p>Order line: <code>" + html_escape(order_line(order)) + "</code></p>\n";
  return html;
}

std::string order_form(const OrderPageView& view) {
  std::string html =
      "<form method=\"post\" action=\"index.php\" accept-charset=\"UTF-8\">\n"
      "<input type=\"hidden\" name=\"" +
      std::string(kKeyField) + "\" value=\"" + html_escape(view.key) +
      "\">\n<input type=\"hidden\" name=\"" + std::string(kTokenField) + "\" value=\"" +
      html_escape(view.token) +
      "\">\n<input type=\"hidden\" name=\"ver\" value=\"1\">\n"
      "<fieldset>\n<legend>Format</legend>\n";
  for (std::string_view format : kFormats) {
    const std::string id = "format_" + std::string(format);
    html += "<label><input type=\"radio\" name=\"" + std::string(kFormatField) + "\" id=\"" + id +
            "\" value=\"" + std::string(format) + "\"";
    if (view.form.format == format) html += " checked";
    html += "> " + std::string(format) + "</label>\n";
  }
  html +=
      "</fieldset>\n<fieldset>\n<legend>Options</legend>\n"
      "<p>Leave a field empty (or 0) to use the program's default for the format.</p>\n";
  for (const OptionField& field : kOptionFields) {
    const std::string name(field.name);
    html += "<p><label class=\"field\" for=\"" + name + "\">" + html_escape(field.label) +
            "</label> <input type=\"text\" name=\"" + name + "\" id=\"" + name + "\" value=\"" +
            html_escape(view.form.values[static_cast<std::size_t>(field.option)]) +
            "\" placeholder=\"" + html_escape(field.example) + "\" size=\"12\"> <small>" +
            html_escape(field.rule) + "</small></p>\n";
  }
  html +=
      "</fieldset>\n<p><button type=\"submit\" id=\"place\">Place order</button></p>\n"
      "</form>\n";
  return html;
}

}  // namespace

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string home_page() {
  return layout(
      "Tovimo",
      "<p>Tovimo converts Flash video files (<code>.flv</code>) on your computer. The tray "
      "program runs the converter; this site keeps your conversion order: the format to "
      "convert to and, if you wish, the frame size, bit rates, codecs, sample rate and "
      "channels.</p>\n"
      "<p>The program opens your order page by itself when you ask it to convert a file and no "
      "order is waiting. New here? Read the <a href=\"tutorial.php\">tutorial</a>.</p>\n");
}

std::string tutorial_page() {
  return layout(
      "Tovimo tutorial",
      "<ol>\n"
      "<li><b>Start the program.</b> An icon appears in the notification area of your desktop. "
      "The first time, the program offers to show this tutorial.</li>\n"
      "<li><b>Select a file.</b> Click the icon and answer <i>Yes</i> to \"Do you want to "
      "select file to convert?\" (or pick <i>Select file to convert</i> from the icon's "
      "menu), then choose a <code>.flv</code> file.</li>\n"
      "<li><b>Place the order.</b> When no order is waiting for you, the program opens your "
      "order page in this browser. Pick a format (AVI, WMV, 3GP, MOV, PSP or MP4), fill in "
      "any options you want, leave the others empty, and press <i>Place order</i>.</li>\n"
      "<li><b>Check task.</b> Back on the desktop, pick <i>Check task</i> from the icon's "
      "menu. The program finds your order and asks \"You have one unfinished task. Do you "
      "want to process?\"</li>\n"
      "<li><b>Confirm.</b> Answer <i>Yes</i> to carry the order out, or <i>No</i> to cancel "
      "it. Either way the order is closed; place a new one for the next file.</li>\n"
      "<li><b>Save.</b> Choose where to save the converted file; the program proposes a name "
      "that fits the format. The converter then runs in a window of its own, which closes "
      "by itself when the conversion has succeeded. Check the result.</li>\n"
      "</ol>\n"
      "<p>Your order page belongs to your computer's key, which the icon's menu shows under "
      "<i>Get key</i>. Options left empty take the program's defaults: 3GP uses 176x144, "
      "12.2k audio, mpeg4 and libfaac, 8000 Hz mono; WMV uses wmv1 and wmav2; MP4 uses "
      "320x240.</p>\n");
}

std::string order_page(const OrderPageView& view) {
  std::string body = "<p>Client key: <code>" + html_escape(view.key) + "</code></p>\n";
  if (view.placed) {
    body += "<p class=\"placed\" id=\"status\">Your order has been placed.</p>\n";
  }
  if (!view.problems.empty()) {
    body +=
        "<div class=\"problems\" id=\"problems\"><p>Your order was not placed; please correct "
        "it:</p>\n<ul>\n";
    for (const std::string& problem : view.problems)
      body += "<li>" + html_escape(problem) + "</li>\n";
    body += "</ul></div>\n";
  }
  body += "<h2>Open order</h2>\n";
  if (view.open_order) {
    body += order_summary(*view.open_order);
    body +=
        "<p>Pick <i>Check task</i> in the tray program to carry it out. A new order below "
        "replaces it.</p>\n";
  } else {
    body += "<p>No open order.</p>\n";
  }
  body += "<h2>Place an order</h2>\n" + order_form(view);
  return layout("Tovimo order", body);
}

std::string refusal_page(std::string_view message) {
  return layout("Tovimo", "<p class=\"problems\">" + html_escape(message) + "</p>\n");
}

std::string foreign_form_page(std::string_view key) {
  const std::string page = "index.php?data=" + html_escape(key) + "&amp;ver=1";
  return layout("Tovimo order",
                "<div class=\"problems\" id=\"problems\"><p>Your order was not placed: the "
                "form did not come from this service's order page.</p></div>\n"
                "<p>Place your order on <a href=\"" +
                    page + "\">your order page</a>.</p>\n");
}

}  // namespace svc
