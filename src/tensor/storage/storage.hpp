// Storage: device-tagged tensor data (the CPU is the only device).
#pragma once

#include <memory>

#include "engine/cpu/storage/cpu_storage.hpp"

namespace zavra {

struct Storage {
    cpu::CpuStorage cpu;

    DType dtype() const noexcept { return cpu.dtype(); }
    static constexpr const char* device() noexcept { return "cpu"; }
};

// Shared, immutable, atomically counted.
using StoragePtr = std::shared_ptr<const Storage>;

inline StoragePtr make_storage(cpu::CpuStorage&& data) { return std::make_shared<const Storage>(std::move(data)); }

}  // namespace zavra
