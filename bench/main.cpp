// Every benchmark in one run, each reported against its baseline.
#include "ratio_reporter.h"

int main(int argc, char** argv) {
  vexa32::bench::RatioReporter reporter;
  reporter.compare("BM_InvokeByDispid", "BM_DirectCall");
  reporter.compare("BM_InvokeByName", "BM_DirectCall");
  reporter.compare("BM_SimulationDataChange", "BM_BuildCallbackArrays");
  reporter.compare("BM_ControlDataChange", "BM_CopySixtyVariants");
  reporter.compare("BM_SplitCSVRows_50MB", "BM_Getline_50MB");
  reporter.compare("BM_SplitCSVRowsWholeTable_50MB", "BM_Getline_50MB");
  reporter.compare("BM_LoadCSV_60Rows", "BM_Getline_60Rows");
  reporter.compare("BM_UaPublishToSlots", "BM_CopyThousandValues");
  reporter.compare("BM_UaPublishChunksSignAndEncrypt", "BM_UaPublishChunksNone");
  reporter.compare("BM_DcomDecodeThousandItemStates", "BM_DcomCopyThousandItemStates");
  reporter.compare("BM_DcomGetStatusPrivacy", "BM_DcomGetStatusIntegrity");
  return vexa32::bench::run_with_ratios(argc, argv, reporter);
}
