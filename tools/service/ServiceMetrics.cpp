#include "ServiceMetrics.h"

#include <prometheus/text_serializer.h>

#include <QDir>
#include <QFile>

#include <sys/resource.h>
#include <unistd.h>

namespace servicemetrics {

namespace {

prometheus::ClientMetric withLabels(const Labels& labels)
{
    prometheus::ClientMetric metric;
    for (const auto& [name, value] : labels)
        metric.label.push_back({name, value});
    return metric;
}

}  // namespace

prometheus::MetricFamily& MetricsText::family(const std::string& name, const std::string& help,
                                              prometheus::MetricType type)
{
    const auto [it, added] = m_index.try_emplace(name, m_families.size());
    if (added)
        m_families.push_back({name, help, type, {}});
    return m_families[it->second];
}

void MetricsText::gauge(const std::string& name, const std::string& help, double value, const Labels& labels)
{
    auto metric = withLabels(labels);
    metric.gauge.value = value;
    family(name, help, prometheus::MetricType::Gauge).metric.push_back(std::move(metric));
}

void MetricsText::counter(const std::string& name, const std::string& help, double value, const Labels& labels)
{
    auto metric = withLabels(labels);
    metric.counter.value = value;
    family(name, help, prometheus::MetricType::Counter).metric.push_back(std::move(metric));
}

void MetricsText::histogram(const std::string& name, const std::string& help, const prometheus::Histogram& histogram)
{
    family(name, help, prometheus::MetricType::Histogram).metric.push_back(histogram.Collect());
}

void MetricsText::addProcess()
{
    const long ticks = ::sysconf(_SC_CLK_TCK);
    const long page = ::sysconf(_SC_PAGESIZE);
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (stat.open(QIODevice::ReadOnly)) {
        // The fields after the command name, which may hold spaces and brackets itself.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> f = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (f.size() > 22 && ticks > 0) {
            const double cpu = (f[11].toDouble() + f[12].toDouble()) / double(ticks);  // utime + stime
            counter("process_cpu_seconds_total", "User and system CPU time spent, in seconds.", cpu);
            gauge("process_threads", "Threads of the process.", f[17].toDouble());
            gauge("process_virtual_memory_bytes", "Virtual memory size in bytes.", f[20].toDouble());
            gauge("process_resident_memory_bytes", "Resident memory size in bytes.", f[21].toDouble() * double(page));
            QFile uptime(QStringLiteral("/proc/uptime"));
            if (uptime.open(QIODevice::ReadOnly)) {
                const double up = uptime.readAll().split(' ').value(0).toDouble();
                const double started = double(::time(nullptr)) - up + f[19].toDouble() / double(ticks);
                gauge("process_start_time_seconds", "Start time of the process since the epoch, in seconds.",
                      double(qint64(started)));
            }
        }
    }
    gauge("process_open_fds", "Open file descriptors.",
          double(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size()));
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0)
        gauge("process_max_fds", "Most open file descriptors allowed.", double(limit.rlim_cur));
}

std::string MetricsText::text() const
{
    return prometheus::TextSerializer().Serialize(m_families);
}

const prometheus::Histogram::BucketBoundaries& latencyBuckets()
{
    static const prometheus::Histogram::BucketBoundaries buckets{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                                 0.1,    0.25,  0.5,    1,     2.5,  5};
    return buckets;
}

}  // namespace servicemetrics
