// QelConnection.Async.cs - the asynchronous calls of QelConnection: each is queued behind
// the one made before it and runs on a pool thread, and a cancelled call is either skipped
// before its request goes out or, once it has, gives the whole connection up.
using System;
using System.Collections.Generic;
using System.Runtime.CompilerServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace QelZmq
{
    public sealed partial class QelConnection
    {
        private readonly object queueSync = new object();
        // The last asynchronous call queued; the next one runs after it.
        private Task queueTail = Task.FromResult(0);

        /// <summary>Runs a Lua script like <see cref="Execute"/>, on a thread-pool thread
        /// rather than the caller's.</summary>
        /// <param name="script">The Lua script.</param>
        /// <returns>A task whose result is the answer. It fails with the exceptions of
        /// <see cref="Execute"/>; argument errors are thrown at once instead.</returns>
        /// <remarks>Calls on one connection run one at a time, in the order they were
        /// made, each after the blocking calls already waiting. A call waiting for a
        /// service that never answers keeps its pool thread, and the calls queued behind
        /// it, waiting.</remarks>
        /// <exception cref="ArgumentNullException"><paramref name="script"/> is null.</exception>
        /// <exception cref="ArgumentException">The script contains a NUL character.</exception>
        public Task<string> ExecuteAsync(string script)
        {
            return ExecuteAsync(script, CancellationToken.None);
        }

        /// <summary>Runs a Lua script like <see cref="Execute"/> on a thread-pool thread;
        /// cancelling the token ends the wait, and gives the connection up if the request
        /// had gone out.</summary>
        /// <param name="script">The Lua script.</param>
        /// <param name="cancellationToken">Cancels the call.</param>
        /// <returns>A task whose result is the answer; cancelled when the token is.</returns>
        /// <remarks>
        /// <para>Cancelling completes the task as cancelled at once. A call still waiting
        /// for its turn is then skipped and never sends: the calls before and after it go
        /// on as if it had not been made. The library cannot take back a request it was
        /// given, so cancelling the call whose request went out leaves the connection
        /// unusable: every later call on it, and every call still queued, fails with
        /// <see cref="QelException"/>. Make a new connection. A token already cancelled when
        /// the call is made sends nothing and changes nothing.</para>
        /// <para>The call that was under way may stay inside the library for ever (a service
        /// that never answers). Its handle is freed only when it returns, never under it:
        /// Dispose returns at once, and if the call never returns, the handle and its two
        /// ZeroMQ threads are leaked for the life of the process, as is the pool thread
        /// that waits in the call.</para>
        /// </remarks>
        /// <exception cref="ArgumentNullException"><paramref name="script"/> is null.</exception>
        /// <exception cref="ArgumentException">The script contains a NUL character.</exception>
        public Task<string> ExecuteAsync(string script, CancellationToken cancellationToken)
        {
            return Enqueue(ToCString(script, "script"), Encoding.UTF8.GetString, cancellationToken);
        }

        /// <summary>Runs <see cref="Call"/> on a thread-pool thread.</summary>
        /// <param name="script">The Lua script.</param>
        /// <param name="args">The arguments, as for <see cref="Call"/>.</param>
        /// <returns>A task whose result is the answer.</returns>
        /// <exception cref="ArgumentNullException"><paramref name="script"/> or
        /// <paramref name="args"/> is null.</exception>
        /// <exception cref="ArgumentException">As for <see cref="Call"/>; thrown at
        /// once.</exception>
        public Task<string> CallAsync(string script, [Nullable(new byte[] { 1, 2 })] object[] args)
        {
            return CallAsync(script, args, CancellationToken.None);
        }

        /// <summary>Runs <see cref="Call"/> on a thread-pool thread; cancelling works as for
        /// <see cref="ExecuteAsync(string, CancellationToken)"/>.</summary>
        /// <param name="script">The Lua script.</param>
        /// <param name="args">The arguments, as for <see cref="Call"/>.</param>
        /// <param name="cancellationToken">Cancels the call.</param>
        /// <returns>A task whose result is the answer.</returns>
        /// <exception cref="ArgumentNullException"><paramref name="script"/> or
        /// <paramref name="args"/> is null.</exception>
        /// <exception cref="ArgumentException">As for <see cref="Call"/>; thrown at
        /// once.</exception>
        public Task<string> CallAsync(string script, [Nullable(new byte[] { 1, 2 })] object[] args,
                                      CancellationToken cancellationToken)
        {
            return Enqueue(CallText(script, args), Encoding.UTF8.GetString, cancellationToken);
        }

        /// <summary>Runs <see cref="CallJson{T}"/> on a thread-pool thread; cancelling
        /// works as for <see cref="ExecuteAsync(string, CancellationToken)"/>.</summary>
        /// <typeparam name="T">What the JSON text becomes.</typeparam>
        /// <param name="script">The Lua script; it returns one JSON text.</param>
        /// <param name="args">The arguments, as for <see cref="Call"/>.</param>
        /// <param name="cancellationToken">Cancels the call.</param>
        /// <returns>A task whose result is the decoded answer.</returns>
        /// <exception cref="ArgumentException">As for <see cref="Call"/>; thrown at
        /// once.</exception>
        [return: Nullable(new byte[] { 1, 2 })]
        public Task<T> CallJsonAsync<[Nullable(2)] T>(string script, [Nullable(new byte[] { 1, 2 })] object[] args,
                                                       CancellationToken cancellationToken)
        {
            return Enqueue(CallText(script, args), FromJson<T>, cancellationToken);
        }

        // Where an asynchronous call stands. It leaves Queued exactly once, by one
        // compare-and-swap: to Started when its request is handed to the library, or to
        // Cancelled when its token or the giving up of the connection lets it go first.
        // Only a Started call can leave a request the socket still waits on.
        private const int Queued = 0, Started = 1, Cancelled = 2, Done = 3;

        private sealed class Turn
        {
            internal int State = Queued;
        }

        private Task<T> Enqueue<T>(byte[] request, Func<byte[], T> decode, CancellationToken cancellationToken)
        {
            var promise = new TaskCompletionSource<T>();
            if (cancellationToken.IsCancellationRequested)
            {
                promise.SetCanceled();
                return promise.Task;
            }
            var turn = new Turn();
            lock (queueSync)
            {
                queueTail = queueTail.ContinueWith(
                    previous => TakeTurn(turn, request, decode, cancellationToken, promise),
                    CancellationToken.None, TaskContinuationOptions.DenyChildAttach, TaskScheduler.Default);
            }
            Watch(turn, promise, cancellationToken);
            return promise.Task;
        }

        // Runs on a pool thread when the calls queued before this one are done.
        private void TakeTurn<T>(Turn turn, byte[] request, Func<byte[], T> decode,
                                 CancellationToken cancellationToken, TaskCompletionSource<T> promise)
        {
            // Let go before its turn: nothing is sent.
            if (Volatile.Read(ref turn.State) != Queued)
                return;
            byte[] answer;
            try
            {
                answer = Exchange(request, turn, cancellationToken);
            }
            catch (Exception e)
            {
                // A call given up while in the library was cancelled already; the
                // failure of its abandoned exchange is nobody's to see.
                if (Interlocked.Exchange(ref turn.State, Done) != Cancelled)
                    promise.TrySetException(e);
                return;
            }
            if (answer == null)
            {
                // Its token went off while it waited for a blocking call: the
                // callback may not have run yet, so settle it here too.
                if (Interlocked.CompareExchange(ref turn.State, Cancelled, Queued) == Queued)
                    promise.TrySetCanceled();
                return;
            }
            if (Interlocked.Exchange(ref turn.State, Done) != Cancelled)
                Deliver(promise, decode, answer);
        }

        // A decoder that throws (CallJson on an answer that is no JSON of T) fails the
        // task rather than the pool thread.
        private static void Deliver<T>(TaskCompletionSource<T> promise, Func<byte[], T> decode, byte[] answer)
        {
            try
            {
                promise.TrySetResult(decode(answer));
            }
            catch (Exception e)
            {
                promise.TrySetException(e);
            }
        }

        // Settles the call when its token, or the giving up of the connection, lets it go;
        // the registrations end with the call.
        private void Watch<T>(Turn turn, TaskCompletionSource<T> promise, CancellationToken cancellationToken)
        {
            var registrations = new List<CancellationTokenRegistration>(2);
            if (cancellationToken.CanBeCanceled)
                registrations.Add(cancellationToken.Register(() => Cancel(turn, promise)));
            // A call queued behind one that never returns would never get its turn. The
            // call in the library when the connection is given up is the cancelled one.
            registrations.Add(givenUp.Token.Register(() =>
            {
                if (Interlocked.CompareExchange(ref turn.State, Cancelled, Queued) == Queued)
                    promise.TrySetException(GivenUpException());
            }));
            promise.Task.ContinueWith(done =>
            {
                foreach (CancellationTokenRegistration registration in registrations)
                    registration.Dispose();
            }, TaskContinuationOptions.ExecuteSynchronously);
        }

        private void Cancel<T>(Turn turn, TaskCompletionSource<T> promise)
        {
            // Not sent yet: this call alone ends, and is skipped when its turn comes.
            if (Interlocked.CompareExchange(ref turn.State, Cancelled, Queued) == Queued)
                promise.TrySetCanceled();
            // Its request is in the library, which cannot take it back.
            else if (Interlocked.CompareExchange(ref turn.State, Cancelled, Started) == Started)
                GiveUp(promise);
        }

        private void GiveUp<T>(TaskCompletionSource<T> cancelled)
        {
            // Set before the task completes: its continuations may run right here, inline,
            // and a blocking call they make must fail rather than wait on the gate for ever.
            givingUp = true;
            // Its request may be queued for a service that is not there: freeHandle would
            // wait (ZeroMQ's linger) to deliver it.
            handle.Abandon();
            cancelled.TrySetCanceled();
            givenUp.Cancel();
        }

        private static QelException GivenUpException()
        {
            return new QelException(
                "this connection was given up when a call on it was cancelled; make a new QelConnection");
        }
    }
}
