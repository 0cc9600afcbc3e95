// Names of the workload families, as the command line spells them.
#include "kel_tests/gen/WorkloadFamily.h"

namespace kel_tests::gen {

std::string_view workload_family_name(WorkloadFamily family) {
  switch (family) {
    case WorkloadFamily::Permutation: return "permutation";
    case WorkloadFamily::Halo: return "halo";
    case WorkloadFamily::AllToAll: return "all-to-all";
    case WorkloadFamily::Broadcast: return "broadcast";
    case WorkloadFamily::ReduceScatter: return "reduce-scatter";
    case WorkloadFamily::Overlap: return "overlap";
    case WorkloadFamily::PairedConvertible: return "paired-convertible";
    case WorkloadFamily::Paired: return "paired";
    case WorkloadFamily::Mix: return "mix";
  }
  return "mix";
}

std::optional<WorkloadFamily> workload_family_from_name(std::string_view name) {
  for (const WorkloadFamily family : kWorkloadFamilies)
    if (workload_family_name(family) == name) return family;
  return std::nullopt;
}

bool workload_family_needs_paired_words(WorkloadFamily family) {
  return family == WorkloadFamily::PairedConvertible || family == WorkloadFamily::Paired;
}

}  // namespace kel_tests::gen
