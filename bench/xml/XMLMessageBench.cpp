// The message work of one scan-job call ("create" on "jobFactory": build the argument tree,
// serialise it, parse the device's reply and read the job name) against a bare Expat parse of
// the same reply text, which is the floor for reading it at all.
#include "xml/XMLSAXParser.h"
#include "xml/XMLVisitor.h"

#include "element/Elements.h"

#include <benchmark/benchmark.h>
#include <expat.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

namespace {

const std::string kReply =
    "<?xml version=\"1.0\"?>\r\n"
    "<response requestID=\"1804\">\r\n"
    "  <StringElem>HostSendJob-00017</StringElem>\r\n"
    "</response>\r\n";

MapElem* point(int x, int y)
{
    auto* p = new MapElem();
    p->addChild("x", new IntegerElem(x));
    p->addChild("y", new IntegerElem(y));
    return p;
}

// The parameter map the scan job sends for a 300 dpi colour scan of a letter page.
MapElem* scanParameters()
{
    auto* root = new MapElem();
    auto* document = new MapElem();
    document->addChild("compression", new IntegerElem(4));
    document->addChild("fileFormat", new IntegerElem(4));
    root->addChild("documentParameters", document);
    auto* scan = new MapElem();
    scan->addChild("orientation", new IntegerElem(0));
    scan->addChild("darkness", new IntegerElem(5));
    scan->addChild("contrast", new IntegerElem(5));
    scan->addChild("originalMediaSize", new IntegerElem(2));
    scan->addChild("contentType", new IntegerElem(2));
    scan->addChild("bitdepth", new IntegerElem(24));
    scan->addChild("resolution", new IntegerElem(300));
    scan->addChild("source", new IntegerElem(2));
    auto* window = new MapElem();
    window->addChild("topLeft", point(0, 0));
    window->addChild("bottomRight", point(2550, 3300));
    scan->addChild("scanWindow", window);
    root->addChild("scanParameters", scan);
    root->addChild("usbParameters", new MapElem());
    return root;
}

void BM_CreateCallMessageWork(benchmark::State& state)
{
    size_t bytes = 0;
    for (auto _ : state) {
        ListElem args;
        args.addChild("HostSendJob", new StringElem("HostSendJob"));
        args.add(scanParameters());
        XMLVisitor visitor(MessageKind::callMethod, 1804, "jobFactory", "create", "");
        args.accept(&visitor);
        char* request = nullptr;
        unsigned int length = 0;
        visitor.createMemoryDump(&request, &length);
        benchmark::DoNotOptimize(request);
        bytes += length + kReply.size();
        std::free(request);

        XMLSAXParser parser;
        if (parser.parseMessage(kReply.data(), static_cast<int>(kReply.size())) != 0)
            state.SkipWithError("reply did not parse");
        std::unique_ptr<Element> reply = parser.takeResult();
        std::string jobName = reply->getChildRaw("result")->stringValue();
        benchmark::DoNotOptimize(jobName);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_CreateCallMessageWork);

void BM_BareExpatParseOfReply(benchmark::State& state)
{
    for (auto _ : state) {
        XML_Parser p = XML_ParserCreate(nullptr);
        if (XML_Parse(p, kReply.data(), static_cast<int>(kReply.size()), XML_TRUE) !=
            XML_STATUS_OK)
            state.SkipWithError("reply did not parse");
        XML_ParserFree(p);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kReply.size()));
}
BENCHMARK(BM_BareExpatParseOfReply);

// Prints the usual table, then the cost of the message work as a multiple of the bare parse.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                _times[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        const double work = _times["BM_CreateCallMessageWork"];
        const double bare = _times["BM_BareExpatParseOfReply"];
        if (work > 0 && bare > 0)
            std::printf("create call message work / bare Expat parse of the reply (CPU time): %.2f\n",
                        work / bare);
    }

private:
    std::map<std::string, double> _times;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
