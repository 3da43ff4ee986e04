#include "tools/apns-pushd/service.h"

#include <httplib.h>

#include <cstdio>
#include <random>

#include "jwt/kfxJSON.h"
#include "tools/apns-pushd/backends.h"
#include "tools/apns-pushd/log.h"
#include "tools/apns-pushd/request.h"

namespace apns_pushd {

namespace {

constexpr const char* kJSON = "application/json";
constexpr const char* kNotSent = "NotSent";

std::string ErrorJSON(const std::string& aMessage, int aIndex = -1) {
  std::string s = "{\"error\":\"";
  AppendJSONString(s, aMessage, false);
  s += '"';
  if (aIndex >= 0) s += ",\"index\":" + std::to_string(aIndex);
  return s + "}";
}

const char* StateText(NotificationState s) {
  switch (s) {
    case NotificationState::Queued: return "queued";
    case NotificationState::Sent: return "sent";
    case NotificationState::Done: return "done";
  }
  return "";
}

// Equal texts compared in a time that does not depend on where they differ.
bool SameSecret(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i % (b.size() ? b.size() : 1)]);
  return diff == 0 && !b.empty();
}

}  // namespace

Service::Service(Config aConfig) : FConfig(std::move(aConfig)) {
  FIdPrefix = std::random_device{}() * 0x100000001ULL ^ std::random_device{}();
  FQueue = MakeQueue(FConfig);
  FTokens = MakeTokenSource(FConfig);
  FSink = std::make_unique<OutcomeSink>(FConfig, FMetrics);
  for (const AppConfig& app : FConfig.Apps) CheckCredentials(app);
  for (const AppConfig& app : FConfig.Apps)
    FSenders.push_back(std::make_unique<Sender>(app, *FQueue, *FTokens, *FSink, FMetrics));
  FServer = std::make_unique<httplib::Server>();
  Routes();
}

Service::~Service() {
  if (!FStopping) Stop();
}

std::string Service::NewId() {
  char text[33];
  std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(FIdPrefix),
                static_cast<unsigned long long>(++FIdCounter));
  return text;
}

bool Service::Authorized(const std::string& aHeader) const {
  static const std::string kScheme = "bearer ";
  if (aHeader.size() <= kScheme.size()) return false;
  std::string scheme = aHeader.substr(0, kScheme.size());
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (scheme != kScheme) return false;
  const std::string token = aHeader.substr(kScheme.size());
  bool ok = false;
  for (const std::string& t : FConfig.ApiTokens) ok |= SameSecret(token, t);
  return ok;
}

std::string Service::StatusJSON(const std::string& aId, const std::optional<NotificationStatus>& aStatus) {
  std::string s = "{\"id\":\"" + aId + "\",\"state\":\"" + StateText(aStatus->State) + "\"";
  if (aStatus->Final) s += ",\"outcome\":" + OutcomeJSON(*aStatus->Final);
  return s + "}";
}

void Service::PostNotifications(const std::string& aApp, const std::string& aBody, bool aWait, int& aStatus,
                                std::string& aAnswer, std::string& aRetryAfter) {
  std::shared_lock gate(FGate);
  if (FStopping) {
    aStatus = 503;
    aAnswer = ErrorJSON("the service is stopping");
    return;
  }
  if (!FConfig.FindApp(aApp)) {
    aStatus = 400;
    aAnswer = ErrorJSON("unknown app \"" + aApp + "\"");
    return;
  }
  ParsedBatch batch = ParseNotifications(aBody, FConfig.BatchMax);
  if (!batch.Error.empty()) {
    aStatus = 400;
    aAnswer = ErrorJSON(batch.Error, batch.Index);
    return;
  }
  std::vector<std::string> ids;
  ids.reserve(batch.Notifications.size());
  const int64_t now = NowMs();
  for (Notification& n : batch.Notifications) {
    n.Id = NewId();
    n.App = aApp;
    n.QueuedAtMs = now;
    ids.push_back(n.Id);
  }
  std::shared_ptr<OutcomeWaiter> waiter;
  if (aWait) waiter = FSink->Watch(ids);
  bool queued = false;
  try {
    queued = FQueue->Append(batch.Notifications);
  } catch (const std::exception& e) {
    if (waiter) FSink->Unwatch(*waiter);
    Log("queue: " + std::string(e.what()));
    aStatus = 503;
    aAnswer = ErrorJSON("the queue is not available");
    return;
  }
  if (!queued) {
    if (waiter) FSink->Unwatch(*waiter);
    aStatus = 429;
    aRetryAfter = "1";
    aAnswer = ErrorJSON("the queue is full (" + std::to_string(FConfig.QueueMax) + " notifications); try again later");
    return;
  }
  gate.unlock();
  if (!aWait) {
    aStatus = 202;
    aAnswer = "{\"ids\":[";
    for (size_t i = 0; i < ids.size(); ++i) aAnswer += (i ? ",\"" : "\"") + ids[i] + "\"";
    aAnswer += "]}";
    return;
  }
  // Outcomes come through the sink; a fleet's other instances finish some,
  // which only the queue knows: asked every half second.
  // In the process every outcome passes the sink, also at a stop (NotSent).
  const bool fleet = !InProcessQueue(FConfig);
  waiter->Wait(std::chrono::steady_clock::now() + std::chrono::milliseconds(FConfig.WaitTimeoutMs),
               std::chrono::milliseconds(500), [&](const std::vector<std::string>& aLeft) {
                 if (!fleet) return true;
                 if (FStopping) return false;
                 try {
                   for (const std::string& id : aLeft)
                     if (auto s = FQueue->Lookup(id); s && s->Final) waiter->Put(*s->Final);
                 } catch (const std::exception&) {
                 }
                 return true;
               });
  FSink->Unwatch(*waiter);
  aStatus = 200;
  aAnswer = "{\"results\":[";
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i) aAnswer += ',';
    if (auto o = waiter->Get(ids[i])) {
      aAnswer += OutcomeJSON(*o);
    } else {
      auto s = FQueue->Lookup(ids[i]);
      aAnswer += s ? StatusJSON(ids[i], s) : "{\"id\":\"" + ids[i] + "\",\"state\":\"unknown\"}";
    }
  }
  aAnswer += "]}";
}

void Service::Routes() {
  httplib::Server& s = *FServer;
  s.new_task_queue = [threads = FConfig.HttpThreads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
  s.set_payload_max_length(FConfig.BodyLimit);
  s.set_read_timeout(std::chrono::milliseconds(FConfig.ReadTimeoutMs));
  s.set_write_timeout(std::chrono::milliseconds(FConfig.ReadTimeoutMs));
  s.set_keep_alive_timeout(std::max<time_t>(1, FConfig.ReadTimeoutMs / 1000));
  // Applications that post all day keep their connection.
  s.set_keep_alive_max_count(1000);
  // Every call but /healthz needs the bearer token, checked before the body
  // is handed to any handler; a refused one is logged without its body. The
  // server library skips that body (up to the body limit), so it is never
  // taken for a request, and the answer asks the client to close.
  s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (req.path == "/healthz") return httplib::Server::HandlerResponse::Unhandled;
    if (Authorized(req.get_header_value("Authorization"))) return httplib::Server::HandlerResponse::Unhandled;
    res.status = 401;
    res.set_header("WWW-Authenticate", "Bearer");
    res.set_header("Connection", "close");
    res.set_content(ErrorJSON(req.has_header("Authorization") ? "wrong API token" : "missing API token"), kJSON);
    Log("401 " + req.method + " " + req.path + " from " + req.remote_addr +
        (req.has_header("Authorization") ? ": wrong API token" : ": no API token"));
    return httplib::Server::HandlerResponse::Handled;
  });
  s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    // The server library keeps form-encoded bodies to 8192 octets whatever
    // the limit: a client that forgot its content type is told so.
    const bool form = req.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) == 0;
    const char* text = res.status == 413 && form
                           ? "send the body as Content-Type: application/json (form-encoded bodies stop at 8192 octets)"
                       : res.status == 413 ? "the body is larger than the configured limit"
                       : res.status == 404 ? "no such resource"
                       : res.status == 400 ? "bad request"
                       : res.status == 408 ? "the request was not sent in time"
                                           : "error";
    res.set_content(ErrorJSON(text), kJSON);
  });
  s.set_exception_handler([](const httplib::Request& req, httplib::Response& res, std::exception_ptr ep) {
    std::string what = "unknown";
    try {
      std::rethrow_exception(ep);
    } catch (const Exception& e) {
      what = e.Message();
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    Log("500 " + req.method + " " + req.path + ": " + what);
    res.status = 500;
    res.set_content(ErrorJSON("internal error"), kJSON);
  });
  s.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
    FMetrics.ApiAnswer(res.status);
    if (res.status >= 400 && res.status != 401)
      Log(std::to_string(res.status) + " " + req.method + " " + req.path + " from " + req.remote_addr);
  });
  s.Post(R"(/v1/apps/([^/]+)/notifications)", [this](const httplib::Request& req, httplib::Response& res) {
    const bool wait = req.has_param("wait") && req.get_param_value("wait") != "0";
    int status = 500;
    std::string answer, retryAfter;
    PostNotifications(req.matches[1], req.body, wait, status, answer, retryAfter);
    res.status = status;
    if (!retryAfter.empty()) res.set_header("Retry-After", retryAfter);
    res.set_content(answer, kJSON);
  });
  s.Get(R"(/v1/notifications/([0-9A-Za-z-]+))", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string id = req.matches[1];
    std::optional<NotificationStatus> status;
    try {
      status = FQueue->Lookup(id);
    } catch (const std::exception& e) {
      res.status = 503;
      res.set_content(ErrorJSON("the queue is not available"), kJSON);
      return;
    }
    if (!status) {
      res.status = 404;
      res.set_content(ErrorJSON("unknown notification \"" + id + "\""), kJSON);
      return;
    }
    res.set_content(StatusJSON(id, status), kJSON);
  });
  s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    size_t depth = 0;
    try {
      depth = FQueue->Depth();
    } catch (const std::exception&) {
    }
    res.set_content(FMetrics.Text(depth), "text/plain; version=0.0.4");
  });
  s.Get("/healthz", [this](const httplib::Request&, httplib::Response& res) {
    if (FStopping) {
      res.status = 503;
      res.set_content("{\"status\":\"stopping\"}", kJSON);
    } else {
      res.set_content("{\"status\":\"ok\"}", kJSON);
    }
  });
}

int Service::Start() {
  int port = FConfig.Listen.Port;
  if (port == 0) {
    port = FServer->bind_to_any_port(FConfig.Listen.Host);
    if (port < 0) throw EConfigError("listen: cannot bind " + FConfig.Listen.Host);
  } else if (!FServer->bind_to_port(FConfig.Listen.Host, port)) {
    throw EConfigError("listen: cannot bind " + FConfig.Listen.Host + ":" + std::to_string(port));
  }
  for (auto& sender : FSenders) sender->Start();
  FListener = std::thread([this] { FServer->listen_after_bind(); });
  return port;
}

size_t Service::Stop() {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(FConfig.StopTimeoutMs);
  {
    std::unique_lock gate(FGate);
    FStopping = true;
  }
  Log("stopping: no new notifications; finishing those in flight");
  // The senders' share of the bound; the rest is for the outcomes and the webhook.
  const auto sendersUntil = until - std::chrono::milliseconds(FConfig.StopTimeoutMs / 5);
  size_t handedBack = 0;
  for (auto& sender : FSenders) handedBack += sender->Stop(sendersUntil);
  size_t left = 0;
  if (InProcessQueue(FConfig)) {
    // Nothing keeps the queue after the process: what is left ends here,
    // with an outcome, instead of vanishing.
    for (const AppConfig& app : FConfig.Apps) {
      for (;;) {
        std::vector<Notification> rest = FQueue->Take(app.Name, 10000, std::chrono::milliseconds(0));
        if (rest.empty()) break;
        std::vector<Outcome> outcomes;
        for (const Notification& n : rest) {
          Outcome o;
          o.Id = n.Id;
          o.App = n.App;
          o.DeviceToken = n.DeviceToken;
          o.Reason = kNotSent;
          o.Attempts = n.Attempts;
          o.DoneAtMs = NowMs();
          outcomes.push_back(std::move(o));
        }
        FQueue->FinishAndKeepWritten(outcomes);
        FSink->Deliver(outcomes);
        left += outcomes.size();
      }
    }
    if (left) Log("stopping: " + std::to_string(left) + " notifications not sent (outcome NotSent)");
  } else if (handedBack) {
    Log("stopping: " + std::to_string(handedBack) + " notifications left in the queue for other instances");
  }
  FQueue->Close();
  FSink->Stop(until);
  FServer->stop();
  if (FListener.joinable()) FListener.join();
  Log("stopped");
  return InProcessQueue(FConfig) ? left : handedBack;
}

}  // namespace apns_pushd
