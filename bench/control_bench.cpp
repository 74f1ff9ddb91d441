// The control's data-change path against a plain copy of 60 variants, and the CSV split against
// reading the same file line by line with std::getline.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "control/csv.h"
#include "control/vexa.h"
#include "platform/apartment/apartment.h"
#include "platform/opcda/simulation.h"

namespace vexa32 {
namespace {

constexpr int kSlots = 60;

struct Callback {
  Variant handles, values, qualities, stamps;
};

Callback sixty_entries() {
  std::vector<Variant> h, v, q, t;
  for (int i = 0; i < kSlots; ++i) {
    h.emplace_back(i);
    v.emplace_back(static_cast<double>(i) * 1.5);
    q.emplace_back(i % 7 == 0 ? 0x18 : 0xC0);
    t.emplace_back(Variant::date(46363.5 + i));
  }
  return {make_array(VT_I4, h), make_array(VT_VARIANT, v), make_array(VT_I4, q), make_array(VT_DATE, t)};
}

// The floor: the values of one callback copied into 60 slots.
void BM_CopySixtyVariants(benchmark::State& state) {
  Callback cb = sixty_entries();
  std::array<Variant, kSlots> slots;
  for (auto _ : state) {
    const auto& values = cb.values.array().elements();
    for (int i = 0; i < kSlots; ++i) slots[static_cast<std::size_t>(i)] = values[static_cast<std::size_t>(i)];
    benchmark::DoNotOptimize(slots);
  }
  state.SetItemsProcessed(state.iterations() * kSlots);
}
BENCHMARK(BM_CopySixtyVariants);

// A connected control receiving 60-entry callbacks: handles, values, qualities and time stamps
// stored, one datChange raised per callback.
void BM_ControlDataChange(benchmark::State& state) {
  auto clock = std::make_shared<ManualClock>();
  Apartment apartment(clock);
  opcda::ScopedSimulation sim("Vexa.Bench.Control.1");
  vexa control;
  control.InitProperties();
  control.put_svrname("Vexa.Bench.Control.1");
  control.cnnec();
  std::int64_t events = 0;
  control.events().advise([&](DISPID, const std::vector<Variant>&) { ++events; });
  Callback cb = sixty_entries();
  for (auto _ : state) {
    sim->raise_data_change("Group1", kSlots, cb.handles, cb.values, cb.qualities, cb.stamps);
  }
  if (events != static_cast<std::int64_t>(state.iterations()))
    state.SkipWithError("one datChange per callback expected");
  state.SetItemsProcessed(state.iterations() * kSlots);
  control.discnn();
}
BENCHMARK(BM_ControlDataChange);

struct CsvFile {
  std::string path;
  std::size_t bytes = 0;
  CsvFile(const std::string& name, std::size_t rows) {
    path = (std::filesystem::temp_directory_path() / (name + "_" + std::to_string(::getpid()) + ".csv")).string();
    std::ofstream out(path, std::ios::binary);
    out << "Tag,Type,Description\r\n";
    for (std::size_t i = 0; i < rows; ++i) {
      out << "Channel1.Device" << i % 100 << ".Tag" << i << ",Float,\"Sensor value " << i << "\"\r\n";
    }
    out.flush();
    bytes = static_cast<std::size_t>(out.tellp());
  }
  ~CsvFile() { std::filesystem::remove(path); }
};

const CsvFile& big_file() {
  static CsvFile f("vexa32_bench_50mb", 900000);  // about 50 MB
  return f;
}

const CsvFile& small_file() {
  static CsvFile f("vexa32_bench_60rows", 60);
  return f;
}

void getline_file(benchmark::State& state, const CsvFile& f) {
  for (auto _ : state) {
    std::ifstream in(f.path, std::ios::binary);
    std::string line;
    std::size_t lines = 0;
    while (std::getline(in, line)) ++lines;
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes));
}

void BM_Getline_50MB(benchmark::State& state) { getline_file(state, big_file()); }
BENCHMARK(BM_Getline_50MB)->Unit(benchmark::kMillisecond);

// As loadCSV splits: every row of the file found and counted, the 60 rows of the import kept.
void BM_SplitCSVRows_50MB(benchmark::State& state) {
  const CsvFile& f = big_file();
  for (auto _ : state) {
    CsvRows rows = SplitCSVRows(f.path, ",", import_window(1, 60));
    benchmark::DoNotOptimize(rows.row_count());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes));
}
BENCHMARK(BM_SplitCSVRows_50MB)->Unit(benchmark::kMillisecond);

// The whole table kept: the text of every row.
void BM_SplitCSVRowsWholeTable_50MB(benchmark::State& state) {
  const CsvFile& f = big_file();
  for (auto _ : state) {
    CsvRows rows = SplitCSVRows(f.path, ",");
    benchmark::DoNotOptimize(rows.row_count());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes));
}
BENCHMARK(BM_SplitCSVRowsWholeTable_50MB)->Unit(benchmark::kMillisecond);

void BM_Getline_60Rows(benchmark::State& state) { getline_file(state, small_file()); }
BENCHMARK(BM_Getline_60Rows);

void BM_LoadCSV_60Rows(benchmark::State& state) {
  const CsvFile& f = small_file();
  vexa control;
  control.InitProperties();
  for (auto _ : state) control.loadCSV(1, 0, 60, ",", f.path);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes));
}
BENCHMARK(BM_LoadCSV_60Rows);

}  // namespace
}  // namespace vexa32
