#include "calyx/Spectrum.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "detail/Log.h"

namespace calyx {
namespace {

// Point count of a range grid: the difference is rounded to single precision first, also
// for double spectra, so (0, 40.1, 0.01) gives 4009 points.
// NaN and negatives give 0; a count beyond what a buffer can hold is passed on as such,
// for the allocation to refuse.
inline std::size_t countFrom(double n) {
  if (!(n >= 0.0)) return 0;
  if (n >= static_cast<double>(std::numeric_limits<std::uint32_t>::max())) return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(n);
}

template <typename T>
std::size_t gridCount(T low, T high, T step);

template <>
std::size_t gridCount<float>(float low, float high, float step) {
  const float diff = high - low;
  return countFrom(static_cast<double>(std::floor(diff / step)));
}

template <>
std::size_t gridCount<double>(double low, double high, double step) {
  const float diff = static_cast<float>(high - low);
  return countFrom(std::floor(static_cast<double>(diff) / step));
}

inline void share(SharedBuffer* b) {
  if (b != nullptr) b->acquire();
}

inline void drop(SharedBuffer* b) {
  if (b != nullptr) b->release(0);
}

// A block for `count` items of `width` bytes; none when the byte size does not fit the
// block's 32-bit size field (the spectrum then has no points) or memory is exhausted.
inline SharedBuffer* allocItems(std::size_t count, std::size_t width) {
  if (width != 0 && count > std::numeric_limits<std::uint32_t>::max() / width) return nullptr;
  return SharedBuffer::alloc(static_cast<unsigned int>(count * width));
}

// Makes `mine` share `theirs`; the count is unchanged when both are the same block already.
inline void shareInto(SharedBuffer*& mine, SharedBuffer* theirs) {
  if (mine == theirs) return;
  share(theirs);
  drop(mine);
  mine = theirs;
}

// The writable data of a buffer, copying it first when it is shared; null (and the
// handle unchanged) when no memory was available for the copy.
template <typename T>
T* writableData(SharedBuffer*& buffer) {
  if (buffer == nullptr) return nullptr;
  SharedBuffer* b = buffer->edit();
  if (b == nullptr) return nullptr;
  buffer = b;
  return static_cast<T*>(b->data());
}

}  // namespace

// ---- LinearSpectrum -------------------------------------------------------------------

template <typename T>
LinearSpectrum<T>::LinearSpectrum() : firstEnergy_(0), stepSize_(0), buffer_(nullptr) {}

template <typename T>
LinearSpectrum<T>::LinearSpectrum(T low, T high, T step)
    : firstEnergy_(low + step),
      stepSize_(step),
      buffer_(allocItems(gridCount<T>(low, high, step), sizeof(T))) {}

template <typename T>
LinearSpectrum<T>::LinearSpectrum(T firstEnergy, T step, const std::vector<T>& values)
    : firstEnergy_(firstEnergy),
      stepSize_(step),
      buffer_(allocItems(values.size(), sizeof(T))) {
  for (unsigned int i = 0; i < values.size(); ++i) this->setValueAt(i, values[i]);
}

template <typename T>
LinearSpectrum<T>::LinearSpectrum(const LinearSpectrum& other)
    : firstEnergy_(other.firstEnergy_), stepSize_(other.stepSize_), buffer_(other.buffer_) {
  share(buffer_);
}

template <typename T>
LinearSpectrum<T>& LinearSpectrum<T>::operator=(const LinearSpectrum& other) {
  firstEnergy_ = other.firstEnergy_;
  stepSize_ = other.stepSize_;
  shareInto(buffer_, other.buffer_);
  return *this;
}

template <typename T>
LinearSpectrum<T>::~LinearSpectrum() {
  drop(buffer_);
}

template <typename T>
unsigned int LinearSpectrum<T>::size() const {
  return buffer_ == nullptr ? 0u : buffer_->size() / static_cast<unsigned int>(sizeof(T));
}

template <typename T>
T LinearSpectrum<T>::valueAt(unsigned int index) const {
  return static_cast<const T*>(buffer_->data())[index];
}

template <typename T>
T* LinearSpectrum<T>::writable() {
  return writableData<T>(buffer_);  // null when out of memory: the write is lost
}

template <typename T>
void LinearSpectrum<T>::setValueAt(unsigned int index, T value) {
  T* data = writable();
  if (data != nullptr) data[index] = value;
}

template <typename T>
T LinearSpectrum<T>::energyAt(unsigned int index) const {
  return firstEnergy_ + stepSize_ * static_cast<T>(index);
}

template <typename T>
T& LinearSpectrum<T>::operator[](unsigned int index) {
  T* data = writable();
  if (data == nullptr) data = static_cast<T*>(buffer_->data());  // no memory to unshare
  return data[index];
}

template <typename T>
LinearSpectrum<T> LinearSpectrum<T>::operator/(double divisor) const {
  LinearSpectrum result(*this);
  const unsigned int n = size();
  for (unsigned int i = 0; i < n; ++i)
    result.setValueAt(i, static_cast<T>(static_cast<double>(result.valueAt(i)) / divisor));
  return result;
}

// ---- DiscreteSpectrum -----------------------------------------------------------------

template <typename T>
DiscreteSpectrum<T>::DiscreteSpectrum() : buffer_(nullptr) {}

template <typename T>
DiscreteSpectrum<T>::DiscreteSpectrum(unsigned int count)
    : buffer_(allocItems(count, 2 * sizeof(T))) {}

template <typename T>
DiscreteSpectrum<T>::DiscreteSpectrum(const DiscreteSpectrum& other) : buffer_(other.buffer_) {
  share(buffer_);
}

template <typename T>
DiscreteSpectrum<T>& DiscreteSpectrum<T>::operator=(const DiscreteSpectrum& other) {
  shareInto(buffer_, other.buffer_);
  return *this;
}

template <typename T>
DiscreteSpectrum<T>::~DiscreteSpectrum() {
  drop(buffer_);
}

template <typename T>
unsigned int DiscreteSpectrum<T>::size() const {
  return buffer_ == nullptr ? 0u : buffer_->size() / (2u * static_cast<unsigned int>(sizeof(T)));
}

template <typename T>
T DiscreteSpectrum<T>::valueAt(unsigned int index) const {
  return static_cast<const T*>(buffer_->data())[2 * index + 1];
}

template <typename T>
T DiscreteSpectrum<T>::energyAt(unsigned int index) const {
  return static_cast<const T*>(buffer_->data())[2 * index];
}

template <typename T>
T* DiscreteSpectrum<T>::writable() {
  return writableData<T>(buffer_);
}

template <typename T>
void DiscreteSpectrum<T>::setValueAt(unsigned int index, T value) {
  T* data = writable();
  if (data != nullptr) data[2 * index + 1] = value;
}

template <typename T>
void DiscreteSpectrum<T>::setEnergyAt(unsigned int index, T energy) {
  T* data = writable();
  if (data != nullptr) data[2 * index] = energy;
}

// ---- ConcatSpectrum -------------------------------------------------------------------

namespace {

// What a null part of a join stands for: a spectrum without points, so that size() and the
// index arithmetic stay defined.
std::shared_ptr<SpectrumBase<double>> partOrEmpty(const std::shared_ptr<SpectrumBase<double>>& part,
                                                  const char* which) {
  if (part != nullptr) return part;
  CALYX_LOG_ERR("joined spectrum: the {:s} part is null; it is taken as a spectrum of no points", which);
  return std::make_shared<DiscreteSpectrum<double>>(0u);
}

}  // namespace

ConcatSpectrum::ConcatSpectrum(std::shared_ptr<SpectrumBase<double>>& first,
                               std::shared_ptr<SpectrumBase<double>>& second)
    : first_(partOrEmpty(first, "first")), second_(partOrEmpty(second, "second")) {}

ConcatSpectrum::~ConcatSpectrum() {
  second_.reset();
  first_.reset();
}

unsigned int ConcatSpectrum::size() const { return first_->size() + second_->size(); }

double ConcatSpectrum::valueAt(unsigned int index) const {
  const unsigned int n = first_->size();
  return index < n ? first_->valueAt(index) : second_->valueAt(index - n);
}

void ConcatSpectrum::setValueAt(unsigned int index, double value) {
  const unsigned int n = first_->size();
  if (index < n)
    first_->setValueAt(index, value);
  else
    second_->setValueAt(index - n, value);
}

double ConcatSpectrum::energyAt(unsigned int index) const {
  const unsigned int n = first_->size();
  return index < n ? first_->energyAt(index) : second_->energyAt(index - n);
}

std::shared_ptr<SpectrumBase<double>> spectrumConcat(std::shared_ptr<SpectrumBase<double>>& first,
                                                     std::shared_ptr<SpectrumBase<double>>& second) {
  if (first == nullptr || second == nullptr) {
    CALYX_LOG_ERR("cannot join spectra: the {:s} part is null", first == nullptr ? "first" : "second");
    return nullptr;
  }
  return std::make_shared<ConcatSpectrum>(first, second);
}

template class SpectrumBase<float>;
template class SpectrumBase<double>;
template class LinearSpectrum<float>;
template class LinearSpectrum<double>;
template class DiscreteSpectrum<float>;
template class DiscreteSpectrum<double>;

}  // namespace calyx
