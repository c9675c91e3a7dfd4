// Gauss-Newton iteration for nonlinear least squares (Nocedal & Wright, Numerical
// Optimization, sec. 10.3): the model is linearised at the current parameters, J·Δ = r is
// solved in the least-squares sense by a Jacobi SVD (minimum-norm Δ when J is rank
// deficient) and a fixed fraction of Δ is taken.
#include "calyx/OptimizationProblem.h"

#include <Eigen/SVD>

#include "detail/Log.h"

namespace calyx {

OptimizationProblem::OptimizationProblem(const std::shared_ptr<Model>& model,
                                         unsigned int pointCount)
    : model_(model),
      pointCount_(pointCount),
      dimension_(model ? model->parameterCount() : 0u),
      residualVector_(pointCount),
      gradientBuffer_(dimension_),
      jacobian_(pointCount, dimension_),
      point_(dimension_) {}

int OptimizationProblem::solve(unsigned int iterations, const std::vector<float>& x,
                               const std::vector<float>& y) {
  if (iterations == 0) return 0;
  if (!model_) {
    CALYX_LOG_ERR("optimisation without a model");
    return 1;
  }
  // Short data would be read past its end.
  if (x.size() < pointCount_ || y.size() < pointCount_) {
    CALYX_LOG_ERR("optimisation needs {} data points, got {} abscissae and {} values",
                  pointCount_, x.size(), y.size());
    return 1;
  }
  // The model reads n parameters, and the step (n entries) is added to the point.
  if (point_.size() != static_cast<Eigen::Index>(dimension_)) {
    CALYX_LOG_ERR("optimisation start point has {} entries, the model has {} parameters", point_.size(),
                  dimension_);
    return 1;
  }
  // With no points or no parameters there is no step to take (and nothing to decompose).
  const bool nothingToSolve = pointCount_ == 0 || dimension_ == 0;
  for (unsigned int iteration = 0; iteration < iterations; ++iteration) {
    model_->setParameters(point_);
    for (unsigned int i = 0; i < pointCount_; ++i) {
      residualVector_[i] = y[i] - model_->value(x[i]);
      model_->gradient(x[i], gradientBuffer_);
      if (gradientBuffer_.size() != static_cast<Eigen::Index>(dimension_)) {
        // A model that resized the vector would have the row copy read past its end.
        CALYX_LOG_ERR("the model's gradient has {} entries instead of {}", gradientBuffer_.size(),
                      dimension_);
        gradientBuffer_.resize(dimension_);
        return 1;
      }
      jacobian_.row(i) = gradientBuffer_.transpose();
    }
    if (nothingToSolve) continue;
    const Eigen::JacobiSVD<Eigen::MatrixXf> svd(jacobian_, Eigen::ComputeThinU | Eigen::ComputeThinV);
    const Eigen::VectorXf step = svd.solve(residualVector_);
    point_ += stepFactor_ * step;
  }
  return 0;
}

}  // namespace calyx
