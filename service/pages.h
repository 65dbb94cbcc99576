// The service's HTML pages. Every text put into a page is escaped here.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/order_form.h"
#include "service/protocol.h"

namespace svc {

// Escapes the five characters that HTML gives a meaning, for text and attribute values alike.
std::string html_escape(std::string_view text);

std::string home_page();
std::string tutorial_page();

// What the order page shows for one client key.
struct OrderPageView {
  std::string key;
  std::string token;                  // the form token of the key
  std::optional<Order> open_order;    // the key's open order, if any
  OrderForm form;                     // values shown in the form's fields
  std::vector<std::string> problems;  // why a submitted form was refused
  bool placed = false;                // open_order was stored by this very request
};
std::string order_page(const OrderPageView& view);

// A page that explains why an address leads nowhere (a malformed key, for one).
std::string refusal_page(std::string_view message);

// The answer to an order form that did not come from the key's order page: nothing was placed,
// and the order page is one link away.
std::string foreign_form_page(std::string_view key);

}  // namespace svc
