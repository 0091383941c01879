// Layout queries of CpuStorage shared by every alternative.
#include "engine/cpu/storage/cpu_storage.hpp"

namespace zavra::cpu {

Shape CpuStorage::shape() const {
    return std::visit([](const auto& a) { return a.shape(); }, data_);
}

Strides CpuStorage::strides() const {
    return std::visit([](const auto& a) { return a.strides(); }, data_);
}

std::size_t CpuStorage::ndim() const {
    return std::visit([](const auto& a) { return a.ndim(); }, data_);
}

}  // namespace zavra::cpu
