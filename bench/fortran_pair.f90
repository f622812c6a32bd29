! Start+stop pairs of module timetree, called once per benchmark iteration.
module timetree_bench_fortran
  use, intrinsic :: iso_c_binding
  use timetree
  implicit none
  character(len=24), parameter :: exact = "compute_residual_norm_00"
  character(len=32), parameter :: padded = "compute_residual_norm_00"
  character(len=*), parameter :: terminated = "compute_residual_norm_00" // c_null_char
contains
  subroutine timetree_bench_fortran_pair() bind(C, name="timetree_bench_fortran_pair")
    call timetree_start(exact)
    call timetree_stop(exact)
  end subroutine timetree_bench_fortran_pair
  subroutine timetree_bench_fortran_padded_pair() bind(C, name="timetree_bench_fortran_padded_pair")
    call timetree_start(padded)
    call timetree_stop(padded)
  end subroutine timetree_bench_fortran_padded_pair
  subroutine timetree_bench_fortran_terminated_pair() &
      bind(C, name="timetree_bench_fortran_terminated_pair")
    call timetree_start(terminated)
    call timetree_stop(terminated)
  end subroutine timetree_bench_fortran_terminated_pair
  subroutine timetree_bench_fortran_site_pair() bind(C, name="timetree_bench_fortran_site_pair")
    type(timetree_site), save :: site
    call timetree_site_start(site, exact)
    call timetree_site_stop(site, exact)
  end subroutine timetree_bench_fortran_site_pair
end module timetree_bench_fortran
