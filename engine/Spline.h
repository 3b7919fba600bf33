// Natural cubic spline through strictly increasing knots, solved with a
// banded LU decomposition without pivoting (the system is diagonally dominant).
// Both keep their storage between uses, so refitting a spline of no more
// knots than before allocates nothing.
#pragma once

#include <vector>

class BandMatrix {
 public:
  BandMatrix() = default;
  BandMatrix(int dim, int upper, int lower) { resize(dim, upper, lower); }
  void resize(int dim, int upper, int lower);
  int dim() const;
  int num_upper() const { return static_cast<int>(upper_.size()) - 1; }
  int num_lower() const { return static_cast<int>(lower_.size()) - 1; }

  double& operator()(int i, int j);
  double operator()(int i, int j) const;
  double& saved_diag(int i);
  double saved_diag(int i) const;

  void lu_decompose();
  std::vector<double> l_solve(const std::vector<double>& b) const;
  std::vector<double> r_solve(const std::vector<double>& b) const;
  std::vector<double> lu_solve(const std::vector<double>& b);
  // The same into x, reusing its storage.
  void lu_solve(const std::vector<double>& b, std::vector<double>& x);

 private:
  void l_solve_in_place(std::vector<double>& x) const;
  void r_solve_in_place(std::vector<double>& x) const;

  std::vector<std::vector<double>> upper_;
  std::vector<std::vector<double>> lower_;
};

class Spline {
 public:
  void set_points(const std::vector<double>& x, const std::vector<double>& y);
  double operator()(double x) const;

 private:
  std::vector<double> m_x, m_y, m_b, m_c, m_d;
  double m_c0 = 0;
  BandMatrix m_A;
  std::vector<double> m_rhs;
};
