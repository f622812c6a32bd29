! A Fortran MPI host of module timetree_mpi: before MPI_Init the summary
! refuses; then every rank times "rank work" with a "step" inside (rank r
! starts it r + 1 times), and rank 0 writes the summary to the console and
! the combined JSON into the folder given as the first argument.
program fortran_mpi_host
  use mpi
  use timetree
  use timetree_mpi
  implicit none
  character(len=4096) :: folder
  integer :: ierror, rank, size, i
  logical :: ok

  call get_command_argument(1, folder)
  call timetree_open()
  call timetree_mpi_summary(MPI_COMM_WORLD, ok)
  if (ok) error stop "a summary before MPI_Init"

  call MPI_Init(ierror)
  call MPI_Comm_rank(MPI_COMM_WORLD, rank, ierror)
  call MPI_Comm_size(MPI_COMM_WORLD, size, ierror)
  call timetree_start("rank work")
  do i = 0, rank
    call timetree_start("step")
    call timetree_stop("step")
  end do
  call timetree_stop("rank work")

  call timetree_mpi_summary(MPI_COMM_WORLD, ok)
  if (.not. ok) error stop "the summary"
  call timetree_mpi_write_json(MPI_COMM_WORLD, trim(folder) // "/ranks.json   ", ok)
  if (.not. ok) error stop "the combined JSON"
  call timetree_mpi_summary(MPI_COMM_NULL, ok)
  if (ok) error stop "a summary over MPI_COMM_NULL"
  if (rank == 0) print "(a, i0, a)", "fortran_mpi_host: ", size, " ranks, all checks passed"
  call MPI_Finalize(ierror)
end program fortran_mpi_host
