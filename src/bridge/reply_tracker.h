// What the host has been told about one forwarded message: every line the app sends for it goes
// out through the tracker, which repairs the id of an app error reply, notes when the response
// has been written, and after a failure lets the bridge answer only what is still owed. So a
// request gets exactly one response, whatever breaks, and whichever thread delivers it.
#pragma once

#include <rapidjson/document.h>

#include <mutex>
#include <string>

#include "jsonrpc/replies.h"
#include "main/line_writer.h"

class ReplyTracker {
  public:
    // `document` is the host's message `line`, parsed; both must outlive the calls that answer
    // in the app's place (relaying needs neither).
    ReplyTracker(const rapidjson::Document& document, const std::string& line, std::string idText,
                 LineWriter writer);

    // Writes one text of the app's reply, parsed into `parsed`, which may be changed. A second
    // response to a single request is dropped: the host gets one.
    void relay(const std::string& text, rapidjson::Document& parsed);
    void relay(const std::string& text);
    bool responded();
    // Whether `id` is the id of the request this tracker answers.
    bool isFor(const rapidjson::Value& id) const;

    // The app's reply ended without a response: -32603 for what expected one.
    void finishWithoutResponse();
    // The exchange failed: the bridge's own answers, unless the response is already out.
    void answerInPlace(const jsonrpc::Responder& responder);
    // The host cancelled the request: nothing more is written for it.
    void abandon();

  private:
    void answer(const jsonrpc::Responder& responder);

    const rapidjson::Document& document;
    const std::string& line;
    const std::string idText;
    const LineWriter writer;
    const bool expectsReply;  // a request with a valid id, whose error replies get its id

    std::mutex mutex;  // one line at a time, so "responded" is exact
    bool responseWritten = false;
    bool closed = false;
};
