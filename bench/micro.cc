// Throughput of the line reader and the batch writer on a fixed page held in
// memory: the reader reads it from a temporary file, the writer writes its
// lines to the null device.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/run_options.h"
#include "convert/bat_writer.h"
#include "convert/escape_block.h"
#include "convert/line_reader.h"
#include "convert/source_stream.h"
#include "platform/platform.h"

namespace {

// About `size` bytes of page lines in the mix the benchmark corpora have:
// tags with quoted attributes, entities, percent signs, tabs, some long
// lines, CR LF ends.
std::string sample_page(size_t size) {
  static const char* const pieces[] = {
      "<p class=\"note\">The value returns ",
      "<a href=\"page12.html#index\">index</a> ",
      "<td width=\"33%\">file &amp; buffer</td>",
      "if (a < b && c > 0) { x = y | 1; } ",
      "the directory of the output is set by the server ",
      "\t\t<li><code>stream</code> &lt;0 on error</li>",
      "<span style=\"color:#336699\">100%</span> ",
      "caf\xc3\xa9 na\xc3\xafve \xe2\x80\x94 r\xc3\xa9sum\xc3\xa9 ",
  };
  const size_t piece_count = sizeof pieces / sizeof pieces[0];
  uint32_t seed = 12345;
  auto next = [&seed]() {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  std::string page;
  while (page.size() < size) {
    unsigned count = next() % 100 == 0 ? 40 + next() % 60 : 1 + next() % 4;
    for (unsigned i = 0; i < count; i++)
      page += pieces[next() % piece_count];
    page += "\r\n";
  }
  return page;
}

const size_t PAGE_SIZE = 8 << 20;

void BM_LineReader(benchmark::State& state) {
  std::string page = sample_page(PAGE_SIZE);
  FILE* file = tmpfile();
  fwrite(page.data(), 1, page.size(), file);
  std::unique_ptr<SourceStream> stream(new SourceStream);
  std::vector<char> line(LINE_CAPACITY + 1);
  for (auto _ : state) {
    rewind(file);
    source_attach(stream.get(), file);
    while (!stream->at_end)
      fgetstr(line.data(), LINE_CAPACITY, stream.get(), 1, true);
    benchmark::DoNotOptimize(line.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
  fclose(file);
}
BENCHMARK(BM_LineReader)->Unit(benchmark::kMillisecond);

void BM_BatWriter(benchmark::State& state) {
  std::string page = sample_page(PAGE_SIZE);
  std::vector<std::string> lines;
  for (size_t start = 0; start < page.size();) {
    size_t end = page.find("\r\n", start);
    lines.push_back(page.substr(start, end - start));
    start = end + 2;
  }
  RunOptions options;
  bool blocks = escape_blocks_available();
  use_escape_blocks(state.range(0) != 0);
  std::unique_ptr<BatWriter> writer(new BatWriter);
  FILE* sink = fopen("/dev/null", "wb");
  for (auto _ : state) {
    write_bat_header(writer.get(), sink, "PAGE.HTM", &options);
    for (const std::string& line : lines)
      write_echo_piece(writer.get(), line.c_str(), line.size(), false);
  }
  use_escape_blocks(blocks);
  fflush(sink);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
  fclose(sink);
}
// The argument turns the sixteen-byte fast path on (1) or off (0).
BENCHMARK(BM_BatWriter)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
