/// @file
/// Spectrum containers: points of (energy in keV, value).
///
///  - LinearSpectrum<T>: values on a uniform grid (first energy + step x i), values only stored.
///  - DiscreteSpectrum<T>: free (energy, value) pairs, e.g. a tube's characteristic lines.
///  - ConcatSpectrum: a view joining two spectra end to end without copying them.
///
/// Linear and discrete spectra keep their points in a SharedBuffer: copies share the points
/// (one atomic increment) and the first write after sharing makes a private copy (a write
/// that needs a copy when the heap is exhausted is lost, silently). Indices are not
/// checked; callers keep them below size(). Threads: one spectrum object is not
/// synchronised (one writer, or readers only); separate copies that share points may be
/// used on different threads.
///
/// Example: LinearSpectrum<double>(0, 10, 1) has 10 points at 1, 2, ..., 10 keV.
#ifndef CALYX_SPECTRUM_H
#define CALYX_SPECTRUM_H

#include <memory>
#include <vector>

#include "calyx/SharedBuffer.h"
#include "calyx/export.h"

namespace calyx {

/// The interface the physics reads: indexed points of (energy, value), index below size().
template <typename T>
class CALYX_EXPORT SpectrumBase {
 public:
  virtual ~SpectrumBase() = default;
  virtual unsigned int size() const = 0;                         ///< number of points
  virtual T valueAt(unsigned int index) const = 0;               ///< value of point `index`
  virtual void setValueAt(unsigned int index, T value) = 0;      ///< copy-on-write where shared
  virtual T energyAt(unsigned int index) const = 0;              ///< energy of point `index`, keV
};

/// Values on a uniform energy grid: point i lies at getFirstEnergy() + i x getStepSize() keV.
template <typename T>
class CALYX_EXPORT LinearSpectrum : public SpectrumBase<T> {
 public:
  /// No points and no buffer; may only be copied, assigned or destroyed.
  LinearSpectrum();
  /// A grid from low + step to low + n x step, n = floor(float(high - low) / step)
  /// (the difference rounded to single precision, also for double; a negative or
  /// undefined quotient gives 0 points). Values are not initialised.
  /// (0, 0.3, 0.1) gives 3 points; (0, 40.1, 0.01) gives 4009.
  LinearSpectrum(T low, T high, T step);
  /// First energy as given (no one-step offset), the step, and the values.
  LinearSpectrum(T firstEnergy, T step, const std::vector<T>& values);
  LinearSpectrum(const LinearSpectrum& other);
  LinearSpectrum& operator=(const LinearSpectrum& other);
  ~LinearSpectrum() override;

  unsigned int size() const override;
  T valueAt(unsigned int index) const override;
  void setValueAt(unsigned int index, T value) override;
  T energyAt(unsigned int index) const override;

  /// A writable reference to value `index`, after making the buffer private. Valid until
  /// this spectrum is assigned, destroyed, or written after being shared again.
  T& operator[](unsigned int index);
  T getStepSize() const { return stepSize_; }        ///< keV
  T getFirstEnergy() const { return firstEnergy_; }  ///< energy of point 0, keV
  /// A new spectrum on the same grid with every value divided (in double precision).
  LinearSpectrum operator/(double divisor) const;

  /// The values, read only, in point order (null when there are none): valid until this
  /// spectrum is written, assigned or destroyed. For hosts that view the data in place.
  const T* values() const { return buffer_ != nullptr ? static_cast<const T*>(buffer_->data()) : nullptr; }

 private:
  friend struct detail::BufferAccess;
  /// The buffer handle, for tests (null when there is none).
  const SharedBuffer* buffer() const { return buffer_; }
  T* writable();

  T firstEnergy_;
  T stepSize_;
  SharedBuffer* buffer_;
};

/// Free (energy, value) pairs in the order set, such as a tube's characteristic lines.
template <typename T>
class CALYX_EXPORT DiscreteSpectrum : public SpectrumBase<T> {
 public:
  DiscreteSpectrum();
  /// Room for `count` pairs; energies and values are not initialised.
  explicit DiscreteSpectrum(unsigned int count);
  DiscreteSpectrum(const DiscreteSpectrum& other);
  DiscreteSpectrum& operator=(const DiscreteSpectrum& other);
  ~DiscreteSpectrum() override;

  unsigned int size() const override;
  T valueAt(unsigned int index) const override;
  void setValueAt(unsigned int index, T value) override;
  T energyAt(unsigned int index) const override;
  void setEnergyAt(unsigned int index, T energy);  ///< keV; unshares the points first

 private:
  friend struct detail::BufferAccess;
  /// The buffer handle, for tests (null when there is none).
  const SharedBuffer* buffer() const { return buffer_; }
  T* writable();

  SharedBuffer* buffer_;
};

extern template class SpectrumBase<float>;
extern template class SpectrumBase<double>;
extern template class LinearSpectrum<float>;
extern template class LinearSpectrum<double>;
extern template class DiscreteSpectrum<float>;
extern template class DiscreteSpectrum<double>;

/// The points of `first`, then those of `second`; writes go through to the parts, which
/// every holder of a part sees. Part sizes are asked anew at every call.
class CALYX_EXPORT ConcatSpectrum : public SpectrumBase<double> {
 public:
  /// Shares both parts. A null part is refused with an error in the log and stands for a
  /// spectrum of no points (spectrumConcat() returns null instead).
  ConcatSpectrum(std::shared_ptr<SpectrumBase<double>>& first,
                 std::shared_ptr<SpectrumBase<double>>& second);
  ~ConcatSpectrum() override;

  unsigned int size() const override;
  double valueAt(unsigned int index) const override;
  void setValueAt(unsigned int index, double value) override;
  double energyAt(unsigned int index) const override;

 private:
  std::shared_ptr<SpectrumBase<double>> first_;
  std::shared_ptr<SpectrumBase<double>> second_;
};

/// A shared ConcatSpectrum of the two parts; null, with an error in the log, when either
/// part is null.
CALYX_EXPORT std::shared_ptr<SpectrumBase<double>> spectrumConcat(
    std::shared_ptr<SpectrumBase<double>>& first, std::shared_ptr<SpectrumBase<double>>& second);

}  // namespace calyx

#endif  // CALYX_SPECTRUM_H
