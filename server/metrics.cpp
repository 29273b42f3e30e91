// The server's counters, their Prometheus text, and the HTTP endpoint (cpp-httplib) that serves it.
#include "server/metrics.h"

#include <httplib.h>

#include <cstdio>
#include <thread>

namespace lumbra::server {

void Metrics::sessionOpened() {
  open_ += 1;
  opened_ += 1;
}

void Metrics::sessionClosed() { open_ -= 1; }

void Metrics::login(const std::string& outcome) {
  (outcome == "ok" ? loginsOk_ : outcome == "refused" ? loginsRefused_ : loginsFailed_) += 1;
}

void Metrics::message(const std::string& commandWord, double seconds) {
  std::size_t index = kCommands.size() - 1;
  for (std::size_t i = 0; i < kCommands.size(); ++i) {
    if (commandWord == kCommands[i]) index = i;
  }
  messages_[index] += 1;
  for (std::size_t i = 0; i < kBuckets.size(); ++i) {
    if (seconds <= kBuckets[i]) {
      buckets_[i] += 1;
      break;
    }
  }
  durationCount_ += 1;
  durationMicros_ += static_cast<long long>(seconds * 1e6);
}

void Metrics::setPoolReader(std::function<std::pair<long, long>()> reader) {
  std::lock_guard lock(poolMutex_);
  pool_ = std::move(reader);
}

namespace {

void family(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

std::string number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

}  // namespace

std::string Metrics::exposition() const {
  std::string out;
  family(out, "lumbra_sessions_open", "gauge", "Sessions open now.");
  out += "lumbra_sessions_open " + std::to_string(open_.load()) + "\n";
  family(out, "lumbra_sessions_total", "counter", "Sessions opened since the start.");
  out += "lumbra_sessions_total " + std::to_string(opened_.load()) + "\n";
  family(out, "lumbra_logins_total", "counter", "Logins by outcome: ok, refused (0102), failed (other refusals).");
  out += "lumbra_logins_total{outcome=\"ok\"} " + std::to_string(loginsOk_.load()) + "\n";
  out += "lumbra_logins_total{outcome=\"refused\"} " + std::to_string(loginsRefused_.load()) + "\n";
  out += "lumbra_logins_total{outcome=\"failed\"} " + std::to_string(loginsFailed_.load()) + "\n";
  family(out, "lumbra_messages_total", "counter", "Messages handled, by command word.");
  for (std::size_t i = 0; i < kCommands.size(); ++i) {
    out += std::string("lumbra_messages_total{command=\"") + kCommands[i] + "\"} " +
           std::to_string(messages_[i].load()) + "\n";
  }
  family(out, "lumbra_message_duration_seconds", "histogram",
         "From taking a message up to handing its reply out, in seconds.");
  long long cumulative = 0;
  for (std::size_t i = 0; i < kBuckets.size(); ++i) {
    cumulative += buckets_[i].load();
    out += "lumbra_message_duration_seconds_bucket{le=\"" + number(kBuckets[i]) + "\"} " +
           std::to_string(cumulative) + "\n";
  }
  const long long count = durationCount_.load();
  out += "lumbra_message_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(count) + "\n";
  out += "lumbra_message_duration_seconds_sum " + number(static_cast<double>(durationMicros_.load()) / 1e6) + "\n";
  out += "lumbra_message_duration_seconds_count " + std::to_string(count) + "\n";
  family(out, "lumbra_received_bytes_total", "counter", "Bytes read from clients.");
  out += "lumbra_received_bytes_total " + std::to_string(received_.load()) + "\n";
  family(out, "lumbra_sent_bytes_total", "counter", "Bytes of replies handed out to clients.");
  out += "lumbra_sent_bytes_total " + std::to_string(sent_.load()) + "\n";
  family(out, "lumbra_sqlite_busy_waits_total", "counter",
         "Retries of an update that found SQLite's write lock held by another session.");
  out += "lumbra_sqlite_busy_waits_total " + std::to_string(busyWaits_.load()) + "\n";
  std::function<std::pair<long, long>()> pool;
  {
    std::lock_guard lock(poolMutex_);
    pool = pool_;
  }
  if (pool) {
    auto [used, idle] = pool();
    family(out, "lumbra_postgres_pool_connections", "gauge", "Connections to PostgreSQL, in use and idle.");
    out += "lumbra_postgres_pool_connections{state=\"in_use\"} " + std::to_string(used) + "\n";
    out += "lumbra_postgres_pool_connections{state=\"idle\"} " + std::to_string(idle) + "\n";
  }
  return out;
}

Metrics& metrics() {
  static Metrics instance;
  return instance;
}

struct MetricsEndpoint::Impl {
  httplib::Server http;
  std::thread thread;
};

MetricsEndpoint::MetricsEndpoint() : impl_(std::make_unique<Impl>()) {}

MetricsEndpoint::~MetricsEndpoint() {
  if (impl_->thread.joinable()) {
    impl_->http.stop();
    impl_->thread.join();
  }
}

bool MetricsEndpoint::start(const std::string& host, int port, std::string& error) {
  httplib::Server& http = impl_->http;
  // One thread answers: a scrape every few seconds needs no more.
  http.new_task_queue = [] { return new httplib::ThreadPool(1); };
  http.Get("/metrics", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(metrics().exposition(), "text/plain; version=0.0.4; charset=utf-8");
  });
  port_ = port == 0 ? http.bind_to_any_port(host) : (http.bind_to_port(host, port) ? port : -1);
  if (port_ <= 0) {
    error = "cannot listen on " + host + ":" + std::to_string(port) + " (in use, or not an address of this machine)";
    return false;
  }
  impl_->thread = std::thread([&http] { http.listen_after_bind(); });
  return true;
}

}  // namespace lumbra::server
