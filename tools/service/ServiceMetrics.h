#pragma once
// The Prometheus text exposition of a program (GET /metrics), built at each scrape from the
// program's live state with prometheus-cpp's data model and text serializer:
//
//   MetricsText m;
//   m.gauge("velmora_vehicles", "Vehicles the station knows.", 3);
//   m.counter("velmora_link_datagrams_received_total", "...", n, {{"link", "udp"}});
//   m.addProcess();   // process_cpu_seconds_total, process_resident_memory_bytes, ...
//   std::string body = m.text();
//
// Samples of one name go into one family (one HELP and TYPE line), whatever order they come in.

#include <prometheus/client_metric.h>
#include <prometheus/histogram.h>
#include <prometheus/metric_family.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace servicemetrics {

using Labels = std::vector<std::pair<std::string, std::string>>;

class MetricsText {
public:
    void gauge(const std::string& name, const std::string& help, double value, const Labels& labels = {});
    void counter(const std::string& name, const std::string& help, double value, const Labels& labels = {});
    void histogram(const std::string& name, const std::string& help, const prometheus::Histogram& histogram);
    // The process's CPU time, memory, descriptors, threads and start time, from /proc/self.
    void addProcess();
    std::string text() const;

private:
    prometheus::MetricFamily& family(const std::string& name, const std::string& help, prometheus::MetricType type);
    std::vector<prometheus::MetricFamily> m_families;
    std::map<std::string, size_t> m_index;
};

// Buckets for request latencies in seconds, from 0.5 ms to 5 s.
const prometheus::Histogram::BucketBoundaries& latencyBuckets();

}  // namespace servicemetrics
