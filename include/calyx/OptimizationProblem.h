/// @file
/// Gauss-Newton fitting of a caller's scalar model y = f(x; p) to data points, in single
/// precision. Each iteration linearises the model at the current parameters, solves the
/// linear least-squares step by a Jacobi SVD (minimum-norm) and moves by stepFactor x step.
/// No convergence test: the caller chooses the number of iterations. Not used inside the
/// library; one problem per thread (the model is called on the solving thread).
#ifndef CALYX_OPTIMIZATIONPROBLEM_H
#define CALYX_OPTIMIZATIONPROBLEM_H

#include <memory>
#include <vector>

#include <Eigen/Core>  // the vector and matrix types; the solver includes the SVD itself

#include "calyx/export.h"

namespace calyx {

/// A least-squares problem over a caller's Model; solve() updates currentPoint() in place.
class CALYX_EXPORT OptimizationProblem {
 public:
  /// The caller's model; shared with the problem.
  class CALYX_EXPORT Model {
   public:
    virtual ~Model() = default;
    /// Number of parameters n (asked once, at construction).
    virtual unsigned int parameterCount() = 0;
    /// Called at the start of every iteration with the current n parameters.
    virtual void setParameters(const Eigen::VectorXf& parameters) = 0;
    /// f(x; p) for the parameters last set.
    virtual float value(float x) = 0;
    /// Writes df/dp_k at x into `gradient` (n entries).
    virtual void gradient(float x, Eigen::VectorXf& gradient) = 0;
  };

  /// Shares the model and sizes every work vector once for `pointCount` data points.
  OptimizationProblem(const std::shared_ptr<Model>& model, unsigned int pointCount);

  void setStepFactor(float factor) { stepFactor_ = factor; }  ///< damping; 1 = full step
  /// The parameter vector: set the start before solve(), read the result after. It must
  /// keep the model's parameterCount() entries (solve() refuses another size).
  Eigen::VectorXf& currentPoint() { return point_; }
  /// y_i - f(x_i; p) as computed at the start of the last iteration.
  const Eigen::VectorXf& residuals() const { return residualVector_; }

  /// Runs `iterations` Gauss-Newton steps on the first pointCount entries of x and y: 0.
  /// 1 with an error in the log, nothing changed, for shorter data, a null model or a start
  /// vector whose size is not the model's parameter count; 1 too when the model resizes the
  /// gradient vector (the iteration stops there).
  int solve(unsigned int iterations, const std::vector<float>& x, const std::vector<float>& y);

 private:
  std::shared_ptr<Model> model_;
  unsigned int pointCount_;
  unsigned int dimension_;
  Eigen::VectorXf residualVector_;
  Eigen::VectorXf gradientBuffer_;
  Eigen::MatrixXf jacobian_;
  Eigen::VectorXf point_;
  float stepFactor_ = 1.0f;
};

}  // namespace calyx

#endif  // CALYX_OPTIMIZATIONPROBLEM_H
