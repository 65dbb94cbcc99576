// The client key, the service's commands and addresses, and the reading of its replies.
#pragma once

#include <optional>
#include <string>

#include "base/state.h"
#include "client/gs_utils.h"

// "<scheme>://<host>/tovimo/", the folder of every endpoint and page. A build constant; tests
// point it at their own server.
extern std::string gs_service_base;

int api_init();
int api_clean();
int api_reset();

// Sends one command with `data` as the client's key. Returns 1 when a reply body arrived,
// which then lies in `chunk`; else 0 with none there.
int api_send(const char* cmd, const char* data, GsChunkPtr* chunk);
// Each sends its command with the global `hash`; `key` is not read.
int api_login(GsChunkPtr* chunk);
int api_poll(const char* key, GsChunkPtr* chunk);
int api_yes(const char* key, GsChunkPtr* chunk);
int api_cancel(const char* key, GsChunkPtr* chunk);

// Addresses, each from a service base such as gs_service_base.
std::string api_command_url(const std::string& base, const std::string& cmd,
                            const std::string& data);
std::string api_help_url(const std::string& base, const std::string& key);
std::string api_order_page_url(const std::string& base, const std::string& key);
std::string api_key_page_url(const std::string& base, const std::string& key);
std::string api_home_url(const std::string& base);
std::string api_tutorial_url(const std::string& base);

// Reply tests, case-sensitive; a text that is none passes neither. Texts are read as C texts,
// up to a NUL byte they may hold.
bool api_reply_is_ok(const std::optional<std::string>& text);
bool api_reply_holds(const std::optional<std::string>& text, const char* word);

// What the login reply means for start-up.
enum class LoginVerdict {
  kAccepted,        // "OK"
  kAcceptedAuto,    // "AUTOOK": the program ends when a poll fails
  kAcceptedNewbie,  // "NEWBIE": the tutorial is offered
  kEndSilently,     // a reply of 1 byte or over 500 bytes
  kRefused,         // shown in "login error" with `refusal`
};
struct LoginReply {
  LoginVerdict verdict;
  std::string refusal;  // dialog text for kRefused, valid UTF-8
};
LoginReply api_classify_login(const GsChunk& reply);

// The message of an error reply ("ERROR <base64>"), from its second space-separated word.
struct ErrorMessage {
  enum Kind {
    kTooFewWords,  // shown as "unhandled error"
    kNothing,      // the word decodes to no bytes: nothing is shown
    kMessage,      // `text` is the decoded message, up to a NUL it holds, as valid UTF-8
  } kind;
  std::string text;
};
ErrorMessage api_decode_error(const char* reply);
