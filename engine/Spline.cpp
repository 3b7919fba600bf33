#include "engine/Spline.h"

#include <algorithm>

#include "engine/Check.h"

void BandMatrix::resize(int dim, int upper, int lower) {
  ENGINE_CHECK(dim>0);
  upper_.resize(upper + 1);
  lower_.resize(lower + 1);
  for (auto& band : upper_) band.assign(dim, 0.0);
  for (auto& band : lower_) band.assign(dim, 0.0);
}

int BandMatrix::dim() const { return upper_.empty() ? 0 : static_cast<int>(upper_[0].size()); }

double& BandMatrix::operator()(int i, int j) {
  int k = j - i;
  ENGINE_CHECK((i>=0) && (i<dim()) && (j>=0) && (j<dim()));
  ENGINE_CHECK((-num_lower()<=k) && (k<=num_upper()));
  return k >= 0 ? upper_[k][i] : lower_[-k][i];
}

double BandMatrix::operator()(int i, int j) const {
  return const_cast<BandMatrix&>(*this)(i, j);
}

double& BandMatrix::saved_diag(int i) {
  ENGINE_CHECK((i>=0) && (i<dim()));
  return lower_[0][i];
}

double BandMatrix::saved_diag(int i) const { return const_cast<BandMatrix&>(*this).saved_diag(i); }

void BandMatrix::lu_decompose() {
  const int n = dim();
  // Scale each row so its diagonal is 1, keeping the factor for l_solve.
  for (int i = 0; i < n; ++i) {
    ENGINE_CHECK(this->operator()(i,i)!=0.0);
    saved_diag(i) = 1.0 / this->operator()(i, i);
    int j_min = std::max(0, i - num_lower());
    int j_max = std::min(n - 1, i + num_upper());
    for (int j = j_min; j <= j_max; ++j) this->operator()(i, j) *= saved_diag(i);
    this->operator()(i, i) = 1.0;
  }
  for (int k = 0; k < n; ++k) {
    int i_max = std::min(n - 1, k + num_lower());
    for (int i = k + 1; i <= i_max; ++i) {
      ENGINE_CHECK(this->operator()(k,k)!=0.0);
      double x = -this->operator()(i, k) / this->operator()(k, k);
      this->operator()(i, k) = -x;
      int j_max = std::min(n - 1, k + num_upper());
      for (int j = k + 1; j <= j_max; ++j) this->operator()(i, j) += x * this->operator()(k, j);
    }
  }
}

// Both substitutions work in place: each step reads only entries it has
// already replaced and its own right-hand side.
void BandMatrix::l_solve_in_place(std::vector<double>& x) const {
  const int n = dim();
  for (int i = 0; i < n; ++i) {
    double sum = 0;
    for (int j = std::max(0, i - num_lower()); j < i; ++j) sum += this->operator()(i, j) * x[j];
    x[i] = x[i] * saved_diag(i) - sum;
  }
}

void BandMatrix::r_solve_in_place(std::vector<double>& x) const {
  const int n = dim();
  for (int i = n - 1; i >= 0; --i) {
    double sum = 0;
    int j_max = std::min(n - 1, i + num_upper());
    for (int j = i + 1; j <= j_max; ++j) sum += this->operator()(i, j) * x[j];
    x[i] = (x[i] - sum) / this->operator()(i, i);
  }
}

std::vector<double> BandMatrix::l_solve(const std::vector<double>& b) const {
  ENGINE_CHECK(this->dim()==(int)b.size());
  std::vector<double> x(b);
  l_solve_in_place(x);
  return x;
}

std::vector<double> BandMatrix::r_solve(const std::vector<double>& b) const {
  ENGINE_CHECK(this->dim()==(int)b.size());
  std::vector<double> x(b);
  r_solve_in_place(x);
  return x;
}

std::vector<double> BandMatrix::lu_solve(const std::vector<double>& b) {
  std::vector<double> x;
  lu_solve(b, x);
  return x;
}

void BandMatrix::lu_solve(const std::vector<double>& b, std::vector<double>& x) {
  ENGINE_CHECK(this->dim()==(int)b.size());
  lu_decompose();
  x.assign(b.begin(), b.end());
  l_solve_in_place(x);
  r_solve_in_place(x);
}

void Spline::set_points(const std::vector<double>& x, const std::vector<double>& y) {
  ENGINE_CHECK(x.size()==y.size());
  ENGINE_CHECK(x.size()>=3);
  const int n = static_cast<int>(x.size());
  m_x.assign(x.begin(), x.end());
  for (int i = 0; i < n - 1; ++i) ENGINE_CHECK(m_x[i]<m_x[i+1]);
  m_y.assign(y.begin(), y.end());

  BandMatrix& A = m_A;
  A.resize(n, 1, 1);
  std::vector<double>& rhs = m_rhs;
  rhs.assign(n, 0.0);
  for (int i = 1; i < n - 1; ++i) {
    A(i, i - 1) = (x[i] - x[i - 1]) / 3.0;
    A(i, i) = 2.0 * (x[i + 1] - x[i - 1]) / 3.0;
    A(i, i + 1) = (x[i + 1] - x[i]) / 3.0;
    rhs[i] = (y[i + 1] - y[i]) / (x[i + 1] - x[i]) - (y[i] - y[i - 1]) / (x[i] - x[i - 1]);
  }
  // Natural boundary: second derivative 0 at both ends.
  A(0, 0) = 2.0;
  A(0, 1) = 0.0;
  rhs[0] = 0.0;
  A(n - 1, n - 1) = 2.0;
  A(n - 1, n - 2) = 0.0;
  rhs[n - 1] = 0.0;

  A.lu_solve(rhs, m_c);
  m_b.assign(n, 0.0);
  m_d.assign(n, 0.0);
  for (int i = 0; i < n - 1; ++i) {
    double h = x[i + 1] - x[i];
    m_d[i] = (m_c[i + 1] - m_c[i]) / 3.0 / h;
    m_b[i] = (y[i + 1] - y[i]) / h - (2.0 * m_c[i] + m_c[i + 1]) * h / 3.0;
  }
  double h = x[n - 1] - x[n - 2];
  m_d[n - 1] = 0.0;
  m_b[n - 1] = 3.0 * m_d[n - 2] * h * h + 2.0 * m_c[n - 2] * h + m_b[n - 2];
  m_c0 = m_c[0];
}

double Spline::operator()(double x) const {
  const std::size_t n = m_x.size();
  auto it = std::upper_bound(m_x.begin(), m_x.end(), x);
  int idx = std::max(static_cast<int>(it - m_x.begin()) - 1, 0);
  double h = x - m_x[idx];
  if (x < m_x[0]) return (m_c0 * h + m_b[0]) * h + m_y[0];
  if (x > m_x[n - 1]) return (m_c[n - 1] * h + m_b[n - 1]) * h + m_y[n - 1];
  return ((m_d[idx] * h + m_c[idx]) * h + m_b[idx]) * h + m_y[idx];
}
