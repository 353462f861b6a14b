// The message work of one scan-job call ("create" on "jobFactory": build the argument tree,
// serialise it, parse the device's reply and read the job name) against a bare Expat parse of
// the same reply text, which is the floor for reading it at all.
#include "xml/XMLSAXParser.h"
#include "xml/XMLVisitor.h"

#include "bench/support/ThreadClock.h"
#include "element/Elements.h"

#include <benchmark/benchmark.h>
#include <expat.h>

#include <time.h>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

const std::string kReply =
    "<?xml version=\"1.0\"?>\r\n"
    "<response requestID=\"1804\">\r\n"
    "  <StringElem>HostSendJob-00017</StringElem>\r\n"
    "</response>\r\n";

MapElem* point(int x, int y) {
  auto* p = new MapElem();
  p->addChild("x", new IntegerElem(x));
  p->addChild("y", new IntegerElem(y));
  return p;
}

// The parameter map the scan job sends for a 300 dpi colour scan of a letter page.
MapElem* scanParameters() {
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

// One call's message work; returns the bytes written and read.
size_t createCallMessageWork() {
  ListElem args;
  args.addChild("HostSendJob", new StringElem("HostSendJob"));
  args.add(scanParameters());
  XMLVisitor visitor(MessageKind::callMethod, 1804, "jobFactory", "create", "");
  args.accept(&visitor);
  char* request = nullptr;
  unsigned int length = 0;
  visitor.createMemoryDump(&request, &length);
  benchmark::DoNotOptimize(request);
  std::free(request);

  XMLSAXParser parser;
  if (parser.parseMessage(kReply.data(), static_cast<int>(kReply.size())) != 0) std::abort();
  std::unique_ptr<Element> reply = parser.takeResult();
  std::string jobName = reply->getChildRaw("result")->stringValue();
  benchmark::DoNotOptimize(jobName);
  return length + kReply.size();
}

void bareExpatParse() {
  XML_Parser p = XML_ParserCreate(nullptr);
  if (XML_Parse(p, kReply.data(), static_cast<int>(kReply.size()), XML_TRUE) != XML_STATUS_OK) std::abort();
  XML_ParserFree(p);
}

using tarvell::bench::ThreadSeconds;

void BM_CreateCallMessageWork(benchmark::State& state) {
  size_t bytes = 0;
  for (auto _ : state) bytes += createCallMessageWork();
  state.SetBytesProcessed(static_cast<int64_t>(bytes));

  // The same work against the bare parse, interleaved in rounds so both see the same load;
  // reported as the ratio of their CPU times.
  double work = 0, bare = 0;
  for (int round = 0; round < 20; ++round) {
    double t0 = ThreadSeconds();
    for (int i = 0; i < 200; ++i) createCallMessageWork();
    double t1 = ThreadSeconds();
    for (int i = 0; i < 200; ++i) bareExpatParse();
    double t2 = ThreadSeconds();
    work += t1 - t0;
    bare += t2 - t1;
  }
  state.counters["x_bare_expat"] = bare > 0 ? work / bare : 0;
}
BENCHMARK(BM_CreateCallMessageWork);

void BM_BareExpatParseOfReply(benchmark::State& state) {
  for (auto _ : state) bareExpatParse();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kReply.size()));
}
BENCHMARK(BM_BareExpatParseOfReply);

}  // namespace

BENCHMARK_MAIN();
