// The named workload families of the snapshot generator, each modelled on one
// kind of exchange phase a compiler emits for a many-tile machine.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kel_tests::gen {

enum class WorkloadFamily : std::uint8_t {
  Permutation,        ///< every tile sends one block to a random other tile
  Halo,               ///< 2D grid: every tile sends its edges to its neighbours
  AllToAll,           ///< transposes inside tile groups
  Broadcast,          ///< weight multicasts, some also writing the source tile
  ReduceScatter,      ///< ring steps over several Repeat iterations
  Overlap,            ///< chains, diamonds and memory-element hazards
  PairedConvertible,  ///< ordinary transfers that have a paired form
  Paired,             ///< paired transfers beside ordinary ones on shared receivers
  Mix,                ///< many phases of all of the above
};

inline constexpr std::array kWorkloadFamilies{
    WorkloadFamily::Permutation,  WorkloadFamily::Halo,    WorkloadFamily::AllToAll,
    WorkloadFamily::Broadcast,    WorkloadFamily::ReduceScatter, WorkloadFamily::Overlap,
    WorkloadFamily::PairedConvertible, WorkloadFamily::Paired, WorkloadFamily::Mix,
};

/// The command-line name, e.g. "all-to-all".
std::string_view workload_family_name(WorkloadFamily family);

/// The family of a command-line name; absent for an unknown name.
std::optional<WorkloadFamily> workload_family_from_name(std::string_view name);

/// Whether the family's phases consist of 64-bit-capable transfers, which need
/// at least 128 words.
bool workload_family_needs_paired_words(WorkloadFamily family);

}  // namespace kel_tests::gen
